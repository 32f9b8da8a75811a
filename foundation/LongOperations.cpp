#include "foundation/LongOperations.h"

void BeginLongOperation(bool) {}
void EndLongOperation() {}
