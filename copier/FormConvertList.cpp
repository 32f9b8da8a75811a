#include "copier/FormConvertList.h"

bool ShowConvertList(std::vector<TConvertListData>&) { return false; }
