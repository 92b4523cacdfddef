#pragma once
// The value kinds that JSON produces and consumes and that records store:
// text, number, decimal number, bytes, date, URL, array, dictionary, set,
// ordered set, value box and the null marker. Containers come in an immutable
// and a mutable class (the mutable one derives from the immutable one); an
// immutable container's copy() is itself, a mutable one's copy() is a new
// immutable container that shares no mutable state with its source.
//
// Each kind has a header of its own (VxString.h, VxNumber.h, VxData.h, ...);
// this one includes them all.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/VxArray.h"
#include "platform/foundation/VxData.h"
#include "platform/foundation/VxDate.h"
#include "platform/foundation/VxDecimalNumber.h"
#include "platform/foundation/VxDictionary.h"
#include "platform/foundation/VxExport.h"
#include "platform/foundation/VxFileReading.h"
#include "platform/foundation/VxNull.h"
#include "platform/foundation/VxNumber.h"
#include "platform/foundation/VxObject.h"
#include "platform/foundation/VxOrderedTable.h"
#include "platform/foundation/VxSet.h"
#include "platform/foundation/VxString.h"
#include "platform/foundation/VxURL.h"
#include "platform/foundation/VxValue.h"
#include "platform/foundation/VxValuesFwd.h"
