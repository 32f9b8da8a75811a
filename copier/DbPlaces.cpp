#include "copier/DbPlaces.h"

bool SpelledAlike(IConnParams* a, IConnParams* b) {
  if (!a || !b) return false;
  if (!AnsiSameText(GetConnParam(a, "ENGINE", ""), GetConnParam(b, "ENGINE", ""))) return false;
  for (const char* key : {"FOLDER", "ALIAS", "SERVER", "PROTOCOL", "DATABASE", "CONNECTIONSTRING", "USER"})
    if (GetConnParam(a, key, "") != GetConnParam(b, key, "")) return false;
  return true;
}

TSameDatabase SameDatabase(IOrvDb* a, IOrvDb* b, const std::function<void(IOrvDb*)>& asking) {
  for (auto [asked, named] : {std::pair{b, a}, std::pair{a, b}}) {
    if (asking) asking(named);
    const std::string token = named->ConnectionToken();
    if (asking) asking(asked);
    const TOrvDbAttachment answer = asked->IsAttached(token);
    if (answer == oaAttached) return sdSame;
    if (answer == oaElsewhere) return sdDifferent;
  }
  return sdUnknown;
}
