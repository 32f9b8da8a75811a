// The long-operation bracket: code doing something slow calls BeginLongOperation before and
// EndLongOperation after; brackets nest.
#pragma once

void BeginLongOperation(bool CanTerminate);
void EndLongOperation();
