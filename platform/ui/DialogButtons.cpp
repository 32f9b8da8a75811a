#include "platform/ui/DialogButtons.h"

#include <QBoxLayout>
#include <QDialog>
#include <QPushButton>

#include "platform/ui/Dialogs.h"
#include "platform/ui/FormKeys.h"
#include "platform/ui/UiText.h"

TOkCancelButtons AddOkCancelButtons(QDialog& dialog, QBoxLayout& row, const std::string& okCaption,
                                    const std::string& cancelCaption, TOkCancelKeys keys) {
  QWidget* parent = row.parentWidget() ? row.parentWidget() : &dialog;
  TOkCancelButtons buttons{new QPushButton(ToQString(okCaption), parent),
                           new QPushButton(ToQString(cancelCaption), parent)};
  if (keys == TOkCancelKeys::OkDefault) {
    buttons.Ok->setDefault(true);
  } else {
    buttons.Ok->setAutoDefault(false);
    buttons.Cancel->setAutoDefault(false);
  }
  if (keys == TOkCancelKeys::EscapeCancels) new TFormKeys(dialog, buttons.Cancel);
  if (keys == TOkCancelKeys::NoEscape) new TFormKeys(dialog, nullptr);
  QObject::connect(buttons.Ok, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(mrOk); });
  QObject::connect(buttons.Cancel, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(mrCancel); });
  row.addStretch(1);
  row.addWidget(buttons.Ok);
  row.addWidget(buttons.Cancel);
  return buttons;
}
