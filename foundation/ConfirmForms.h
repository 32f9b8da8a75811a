// The choice dialog: a text and a column of buttons built for each question, some of which may ask
// for a confirmation first; the answer is the index of the button chosen.
//
// One dialog serves the whole run (ActionForm, created on the first question and owned by the
// application); every question rebuilds its buttons and size. Closing the dialog without a choice,
// or pressing Escape, answers with the last button, which is therefore the safe one.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QFrame;
class QPlainTextEdit;
class QPushButton;

class TActionForm : public QDialog {
 public:
  explicit TActionForm(QWidget* parent = nullptr);
  ~TActionForm() override;

  QFrame* pButtons;
  QPlainTextEdit* InfoWindow;

  // The index of the button chosen: the result of Execute.
  int ChosenIndex = 0;
  // One confirmation text per button; an empty text asks nothing.
  std::vector<std::string> Confirms;

  // Sets the caption and text, builds the buttons, shows the dialog modally and returns the index
  // of the button chosen (the last one when the dialog is closed otherwise).
  int Execute(const std::string& Caption, const std::string& Text, const std::vector<std::string>& Buttons,
              const std::vector<std::string>& Confirms);
  // Replaces the buttons of the previous question with one button per caption, all as wide as the
  // widest caption needs, and sizes the panel and the dialog to them.
  void CreateButtons(const std::vector<std::string>& Buttons);
  // A button was pressed: choose it, after its confirmation when it has one.
  void ButtonClick(QPushButton* button);

  // Where the buttons go for captions whose widest text is `textWidth` pixels: each button is Width
  // wide and 25 high at Left, the first at Top and each next one Step lower; the panel is
  // PanelWidth wide and the dialog ClientHeight high.
  struct TButtonLayout {
    int Width, Left, Top, Step, PanelWidth, ClientHeight;
  };
  static TButtonLayout ButtonLayout(int textWidth, int buttonCount);
  static constexpr int ButtonHeight = 25;
  static constexpr int ClientWidth = 443;

 protected:
  // Escape presses the last button, as its cancel button.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::vector<QPushButton*> FButtons;
};

// The one choice dialog; null until the first question.
extern TActionForm* ActionForm;

// Asks with the choice dialog and returns the index of the button chosen. Confirms holds one
// confirmation text per button (an empty text: none); a list of another length raises Exception.
int ChooseAction(const std::string& Caption, const std::string& Text, const std::vector<std::string>& Buttons,
                 const std::vector<std::string>& Confirms);
// ChooseAction without confirmations.
int ChooseActionNoConfirm(const std::string& Caption, const std::string& Text,
                          const std::vector<std::string>& Buttons);
