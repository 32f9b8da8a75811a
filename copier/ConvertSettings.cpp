#include "copier/ConvertSettings.h"

bool ExecuteConvertOptions(TConvert&, TConvert&, TConvert&) { return false; }
