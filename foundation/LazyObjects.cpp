#include "foundation/LazyObjects.h"

TObject* LazyObject = nullptr;

void DoneLazyObjects() { FreeAndNil(LazyObject); }
