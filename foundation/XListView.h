// The report list of the summary page and the conversion list editor.
//
// A plain report list view: Qt's header reads its texts from the model and asks the view for
// nothing, so there is no header request to refuse here.
#pragma once

#include "platform/ui/ListView.h"

class TXListView : public TListView {
 public:
  using TListView::TListView;
};
