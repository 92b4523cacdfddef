#pragma once
// The value kinds by name, and the shared pointers that hold them, for headers
// that mention a kind without using it.

#include "platform/foundation/VxObject.h"

class VxNull;
class VxString;
class VxNumber;
class VxDecimalNumber;
class VxData;
class VxMutableData;
class VxDate;
class VxURL;
class VxArray;
class VxMutableArray;
class VxDictionary;
class VxMutableDictionary;
class VxSet;
class VxMutableSet;
class VxOrderedSet;
class VxMutableOrderedSet;
class VxValue;

using VxNullPtr = std::shared_ptr<VxNull>;
using VxStringPtr = std::shared_ptr<VxString>;
using VxNumberPtr = std::shared_ptr<VxNumber>;
using VxDecimalNumberPtr = std::shared_ptr<VxDecimalNumber>;
using VxDataPtr = std::shared_ptr<VxData>;
using VxMutableDataPtr = std::shared_ptr<VxMutableData>;
using VxDatePtr = std::shared_ptr<VxDate>;
using VxURLPtr = std::shared_ptr<VxURL>;
using VxArrayPtr = std::shared_ptr<VxArray>;
using VxMutableArrayPtr = std::shared_ptr<VxMutableArray>;
using VxDictionaryPtr = std::shared_ptr<VxDictionary>;
using VxMutableDictionaryPtr = std::shared_ptr<VxMutableDictionary>;
using VxSetPtr = std::shared_ptr<VxSet>;
using VxMutableSetPtr = std::shared_ptr<VxMutableSet>;
using VxOrderedSetPtr = std::shared_ptr<VxOrderedSet>;
using VxMutableOrderedSetPtr = std::shared_ptr<VxMutableOrderedSet>;
using VxValuePtr = std::shared_ptr<VxValue>;
