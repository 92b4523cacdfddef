#pragma once
// Record classes used by the model tests.

#include <atomic>

#include "model/CDictionaryModel.h"

// One dynamic property of every kind that has an accessor pair.
class TMScalars : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMScalars)
  public:
    TMScalars() = default;
};

// Inherits TMScalars's properties and adds one.
class TMScalarsChild : public TMScalars {
    CPM_DECLARE_MODEL(TMScalarsChild)
  public:
    TMScalarsChild() = default;
};

// A dynamic property whose getter is written by hand.
class TMHandWritten : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMHandWritten)
  public:
    TMHandWritten() = default;
    static void registerAccessors(CPropertyAccessorTable& table);
};

// Properties stored under translated keys.
class TMTranslated : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMTranslated)
  public:
    TMTranslated() = default;
};

// A date property with the date-string option.
class TMDated : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMDated)
  public:
    TMDated() = default;
};

// A date property with a class-specific date pattern.
class TMCustomDate : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMCustomDate)
  public:
    TMCustomDate() = default;
    static VxStringPtr dateFormatString() { return vxstr("dd.MM.yyyy HH:mm"); }
};

// For CSV rows with ordered and print names.
class TMRow : public CDictionaryModel {
    CPM_DECLARE_MODEL(TMRow)
  public:
    TMRow() = default;
};

// A record without dynamic properties.
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

// Dynamic properties of types without accessor pairs.
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
