#include "model/DACommandResponse.h"

CPM_DEFINE_MODEL(DACommandResponse, CDictionaryModel,  //
                 {"deviceId", "T@\"VxString\",C,D"},   //
                 {"command", "T@\"VxString\",C,D"},    //
                 {"testId", "T@\"VxNumber\",C,D"},     //
                 {"data", "T@\"VxDictionary\",C,D"},   //
                 {"progress", "T@\"VxNumber\",C,D"});
