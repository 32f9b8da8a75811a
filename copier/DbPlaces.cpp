#include "copier/DbPlaces.h"

bool SpelledAlike(IConnParams* a, IConnParams* b) {
  if (!a || !b) return false;
  if (!AnsiSameText(GetConnParam(a, "ENGINE", ""), GetConnParam(b, "ENGINE", ""))) return false;
  for (const char* key : {"FOLDER", "ALIAS", "SERVER", "PROTOCOL", "DATABASE", "CONNECTIONSTRING", "USER"})
    if (GetConnParam(a, key, "") != GetConnParam(b, key, "")) return false;
  return true;
}

TSameDatabase SameDatabase(IOrvDb* a, IOrvDb* b) {
  for (auto [asked, named] : {std::pair{b, a}, std::pair{a, b}}) {
    const TOrvDbAttachment answer = asked->IsAttached(named->ConnectionToken());
    if (answer == oaAttached) return sdSame;
    if (answer == oaElsewhere) return sdDifferent;
  }
  return sdUnknown;
}
