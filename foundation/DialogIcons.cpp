#include "foundation/DialogIcons.h"

#include <QPainter>

#include "platform/ui/ImageList.h"

namespace {

// The pictures side by side, in the order of TDialogIconType: a green arrow with a dot before it,
// two red exclamation marks, a cyan i, a cyan check mark, green digits 1, 2 and 3; each with a grey
// shadow to the lower right. Magenta is transparent.
const char* const DIALOG_ICONS[] = {
    "112 16 5 1",
    "m c #FF00FF",
    "g c #008000",
    "r c #FF0000",
    "c c #008080",
    "s c #808080",
    "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm",
    "mmmmmmmmmmmmmmmmmmmrrrmmmrrrmmmmmmmmmmcccmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmggmmmmmmmmmmmmgggggmmmmmmmmmmggggggmmmmmm",
    "mmmmmmmgmmmmmmmmmmmrrrsmmrrrsmmmmmmmmmcccsmmmmmmmmmmmmmmmmmmmccmmmmmmmgggsmmmmmmmmmmggsssggmmmmmmmmmmssssggmmmmm",
    "mmmmmmmggmmmmmmmmmmrrrsmmrrrsmmmmmmmmmmsssmmmmmmmmmmmmmmmmmmcccsmmmmmggggsmmmmmmmmmmmssmmggsmmmmmmmmmmmmmggsmmmm",
    "mmmmmmmgggmmmmmmmmmrrrsmmrrrsmmmmmmmmccccmmmmmmmmmmmmmmmmmmcccssmmmmgggggsmmmmmmmmmmmmmmmggsmmmmmmmmmmmmmggsmmmm",
    "mmmmmmmggggmmmmmmmmrrrsmmrrrsmmmmmmmmmcccsmmmmmmmmmmmmmmmmcccssmmmmmmssggsmmmmmmmmmmmmmmggssmmmmmmmmmmmmmggsmmmm",
    "mmmmggggggggmmmmmmmrrrsmmrrrsmmmmmmmmmcccsmmmmmmmccmmmmmmcccssmmmmmmmmmggsmmmmmmmmmmmmmggssmmmmmmmmmmgggggssmmmm",
    "ggmmgggggggggmmmmmmmrssmmmrssmmmmmmmmmcccsmmmmmmmcccmmmmcccssmmmmmmmmmmggsmmmmmmmmmmmmggssmmmmmmmmmmmmsssggmmmmm",
    "ggsmgggggggggsmmmmmmrsmmmmrsmmmmmmmmmmcccsmmmmmmmmcccmmcccssmmmmmmmmmmmggsmmmmmmmmmmmggssmmmmmmmmmmmmmmmmggsmmmm",
    "mssmggggggggssmmmmmmmsmmmmmsmmmmmmmmmmcccsmmmmmmmmmccccccssmmmmmmmmmmmmggsmmmmmmmmmmggssmmmmmmmmmmmmmmmmmggsmmmm",
    "mmmmmssggggssmmmmmmmmmmmmmmmmmmmmmmmmmcccsmmmmmmmmmmccccssmmmmmmmmmmmmmggsmmmmmmmmmmggsmmmmmmmmmmmmmmmmmmggsmmmm",
    "mmmmmmmgggssmmmmmmmrrrmmmrrrmmmmmmmmmmcccsmmmmmmmmmmmccssmmmmmmmmmmmmggggggmmmmmmmmmgggggggmmmmmmmmmggggggssmmmm",
    "mmmmmmmggssmmmmmmmmrrrsmmrrrsmmmmmmmcccccccmmmmmmmmmmmssmmmmmmmmmmmmmggggggsmmmmmmmmgggggggsmmmmmmmmmssssssmmmmm",
    "mmmmmmmgssmmmmmmmmmmsssmmmsssmmmmmmmmsssssssmmmmmmmmmmmmmmmmmmmmmmmmmmssssssmmmmmmmmmsssssssmmmmmmmmmmmmmmmmmmmm",
    "mmmmmmmmsmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm",
    "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm"};

}  // namespace

TDialogIcon::TDialogIcon(QWidget* owner) : QWidget(owner), FImages(std::make_unique<TImageList>(16, 16)) {
  FImages->AddMasked(QPixmap(DIALOG_ICONS), QColor(0xFF, 0x00, 0xFF));
  setFixedSize(16, 16);
}

TDialogIcon::~TDialogIcon() = default;

void TDialogIcon::SetIcon(TDialogIconType value) {
  if (value == FIcon) return;
  FIcon = value;
  update();
}

void TDialogIcon::paintEvent(QPaintEvent*) { Paint(); }

void TDialogIcon::Paint() {
  QPainter painter(this);
  FImages->Draw(painter, 0, 0, FIcon, true);
}
