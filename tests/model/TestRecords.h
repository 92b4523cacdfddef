#pragma once
// Record classes used by the model tests.

#include <atomic>

#include "model/CDictionaryModel.h"

// One dynamic property of every kind that has an accessor pair, a read-only
// one, one with other accessor names, a field and (written as a descriptor
// text) a field of a structure type.
class TMScalars : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMScalars)
  public:
    TMScalars() = default;
    CPM_PROPERTY(bool, flag, setFlag);
    CPM_PROPERTY(std::int16_t, small, setSmall);
    CPM_PROPERTY(std::uint16_t, usmall, setUsmall);
    CPM_PROPERTY(std::int32_t, integer, setInteger);
    CPM_PROPERTY(std::uint32_t, uinteger, setUinteger);
    CPM_PROPERTY(std::int64_t, big, setBig);
    CPM_PROPERTY(std::uint64_t, ubig, setUbig);
    CPM_PROPERTY(float, ratio, setRatio);
    CPM_PROPERTY(double, precise, setPrecise);
    CPM_PROPERTY(std::int8_t, letter, setLetter);
    CPM_PROPERTY(std::uint8_t, byte, setByte);
    CPM_PROPERTY(const void*, pointer, setPointer);
    CPM_PROPERTY(const char*, cstring, setCstring);
    CPM_PROPERTY(const VxClass*, klass, setKlass);
    CPM_PROPERTY(CSelector, selector, setSelector);
    CPM_PROPERTY(CRange, span, setSpan);
    CPM_PROPERTY(VxStringPtr, title, setTitle, cpm::Copy);
    CPM_PROPERTY(Id, anything, setAnything, cpm::Retain);
    CPM_READONLY_PROPERTY(bool, fixed);
    CPM_PROPERTY_ACCESSORS(std::int32_t, custom, customValue, putCustom);
    CPM_FIELD(std::int32_t, plain, cpm::backingField("plainField"));
};

// Inherits TMScalars's properties and adds one.
class TMScalarsChild : public TMScalars {
    CPM_DECLARE_MODEL(TMScalarsChild)
  public:
    TMScalarsChild() = default;
    CPM_PROPERTY(VxNumberPtr, extra, setExtra, cpm::Copy);
    CPM_PROPERTY(VxNumberPtr, title, setTitle, cpm::Copy);  // a string in the parent
};

// A dynamic property whose getter is written by hand.
class TMHandWritten : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMHandWritten)
  public:
    TMHandWritten() = default;
    CPM_PROPERTY(VxStringPtr, name, setName, cpm::Copy);
    CPM_PROPERTY(std::int32_t, count, setCount);
    static void registerAccessors(CPropertyAccessorTable& table);
};

// Properties stored under translated keys.
class TMTranslated : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMTranslated)
  public:
    TMTranslated() = default;
    CPM_PROPERTY(VxStringPtr, name, setName, cpm::Copy);
    CPM_PROPERTY(VxNumberPtr, count, setCount, cpm::Copy);
};

// A date property with the date-string option.
class TMDated : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMDated)
  public:
    TMDated() = default;
    CPM_PROPERTY(VxDatePtr, when, setWhen, cpm::Retain);
};

// A date property with a class-specific date pattern.
class TMCustomDate : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMCustomDate)
  public:
    TMCustomDate() = default;
    CPM_PROPERTY(VxDatePtr, when, setWhen, cpm::Retain);
    static VxStringPtr dateFormatString() { return vxstr("dd.MM.yyyy HH:mm"); }
};

// For CSV rows with ordered and print names.
class TMRow : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMRow)
  public:
    TMRow() = default;
    CPM_PROPERTY(VxStringPtr, alpha, setAlpha, cpm::Copy);
    CPM_PROPERTY(VxNumberPtr, beta, setBeta, cpm::Copy);
    CPM_PROPERTY(Id, gamma, setGamma);
};

// The same property names as TMRow with other kinds: lookups by name must keep
// each class's own records apart.
class TMRowSwapped : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMRowSwapped)
  public:
    TMRowSwapped() = default;
    CPM_PROPERTY(VxNumberPtr, alpha, setAlpha, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, beta, setBeta, cpm::Copy);
};

// Overrides the validation: a count given as a text is judged as its label
// would be (the base validation asked about another property than the one
// being set), and a label must not be empty or a reserved word.
class TMJudged : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMJudged)
  public:
    TMJudged() = default;
    CPM_PROPERTY(VxNumberPtr, count, setCount, cpm::Copy);
    CPM_PROPERTY(VxStringPtr, label, setLabel, cpm::Copy);
    Id validatedValue(const Id& value, std::string_view property) const override;
};

// A record without dynamic properties (its one declaration is a descriptor
// text).
class TMEmpty : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMEmpty)
  public:
    TMEmpty() = default;
};

// Counts its class-level initialisations (through registerAccessors).
class TMCounted : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMCounted)
  public:
    TMCounted() = default;
    CPM_PROPERTY(std::int32_t, value, setValue);
    static std::atomic<int> initialisations;
    static void registerAccessors(CPropertyAccessorTable&) { ++initialisations; }
};

// Calls its own class operations while its class is being set up.
class TMReentrant : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMReentrant)
  public:
    TMReentrant() = default;
    static VxStringPtr dateFormatString();
    static void registerAccessors(CPropertyAccessorTable& table);
    static std::atomic<int> namesSeenDuringSetUp;  // -1 until dateFormatString ran
};

// Dynamic properties of types without accessor pairs, declared as descriptor
// texts (as a record read from data would be).
#define TM_BAD_RECORD(Name)                \
    class Name : public CDictionaryModel { \
        CPM_DECLARE_MODEL(Name)            \
      public:                              \
        Name() = default;                  \
    };
TM_BAD_RECORD(TMBadStruct)
TM_BAD_RECORD(TMBadUnion)
TM_BAD_RECORD(TMBadArray)
TM_BAD_RECORD(TMBadBitField)
TM_BAD_RECORD(TMBadVoid)
TM_BAD_RECORD(TMBadUnknown)
TM_BAD_RECORD(TMBadParent)
#undef TM_BAD_RECORD

// A subclass of a class whose initialisation fails.
class TMBadChild : public TMBadParent {
    CPM_DECLARE_MODEL(TMBadChild)
  public:
    TMBadChild() = default;
};
