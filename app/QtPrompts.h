#pragma once
// The real operator prompts: QMessageBox and QFileDialog with the given owner, caption,
// icon and buttons.

#include "Prompts.h"

class QtPrompts final : public platform::Prompts {
 public:
  platform::Answer message(const platform::Prompt& prompt) override;
  QString openFileName(const platform::FileDialog& dialog) override;
  QString saveFileName(const platform::FileDialog& dialog) override;
};
