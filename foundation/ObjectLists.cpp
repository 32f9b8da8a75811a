#include "foundation/ObjectLists.h"

TObjectList::~TObjectList() { TObjectList::Clear(); }

int TObjectList::Add(TObject* item) {
  int index = TList::Add(item);
  if (item) ItemAdded(item);
  return index;
}

int TObjectList::Remove(TObject* item) {
  int index = TList::Remove(item);
  if (index != -1 && item) ItemRemoved(item);
  return index;
}

TObject* TObjectList::Extract(int index) {
  TObject* item = Items(index);
  Delete(index);
  if (item) ItemRemoved(item);
  return item;
}

void TObjectList::Clear() {
  while (Count() > 0) {
    TObject* item = Last();
    Delete(Count() - 1);
    if (item) {
      ItemRemoved(item);
      FreeItem(item);
    }
  }
  TList::Clear();
}

void TObjectList::ItemAdded(TObject*) {}

void TObjectList::ItemRemoved(TObject*) {}

void TObjectList::FreeItem(TObject* item) { delete item; }
