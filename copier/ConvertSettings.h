// The conversion settings dialog (provisional declaration; the dialog comes with the other
// conversion dialogs).
#pragma once

#include "copier/ConvertObj.h"

bool ExecuteConvertOptions(TConvert& tableConvert, TConvert& fieldConvert, TConvert& indexConvert);
