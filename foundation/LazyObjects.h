// One object created on first use; freed at exit.
#pragma once

#include "platform/rtl/Classes.h"

extern TObject* LazyObject;
void DoneLazyObjects();
