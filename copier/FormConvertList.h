// The conversion list editor (provisional declaration; the editor itself comes with the dialogs).
#pragma once

#include <string>
#include <vector>

#include "copier/ConvertObj.h"
#include "platform/rtl/Classes.h"

struct TConvertListData {
  std::string Caption;
  TStrings* Items;
  TConvert* Convert;
};

bool ShowConvertList(std::vector<TConvertListData>& groups);
