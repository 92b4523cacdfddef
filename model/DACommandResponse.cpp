#include "model/DACommandResponse.h"

CPM_DEFINE_MODEL(DACommandResponse, CDictionaryModel);
