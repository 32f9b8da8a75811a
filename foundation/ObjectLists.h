// TObjectList: a list that owns its objects and tells descendants about every item that enters
// or leaves it. Items still in the list when it is cleared or destroyed are freed; items taken
// out by Remove, Extract or Delete are not, and belong to the caller from then on.
//
// C++ calls no descendant's override from a base destructor: a descendant that overrides the
// hooks calls Clear() in its own destructor, so that its ItemRemoved sees every item leave.
#pragma once

#include <memory>

#include "platform/rtl/Classes.h"

class TObjectList : public TList {
 public:
  ~TObjectList() override;

  // Appends; ItemAdded follows for a non-null item. Returns the new position.
  int Add(TObject* item);
  // The same for an item held by an owning pointer: the list owns it from the call on.
  int Add(std::unique_ptr<TObject> item) { return Add(item.release()); }
  // Removes the first entry equal to item, unfreed; ItemRemoved follows when it was found and is
  // not null. Returns the position it had, or -1.
  int Remove(TObject* item);
  // Takes the item at a position out of the list, unfreed; ItemRemoved follows when not null.
  TObject* Extract(int index);
  // Takes items out from the last to the first; each non-null one gets ItemRemoved, then FreeItem.
  void Clear() override;

 protected:
  virtual void ItemAdded(TObject* item);
  virtual void ItemRemoved(TObject* item);
  virtual void FreeItem(TObject* item);
};
