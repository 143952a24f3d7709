// A message box the window shows for a command: the commands decide the text
// and kind, the window only presents it.
#pragma once

#include <string>

namespace twf {

enum class TMessageKind { mkInformation, mkWarning, mkError, mkConfirmation };

struct TUserMessage {
  TMessageKind Kind = TMessageKind::mkInformation;
  std::string Text;
  // Confirmations ask Yes or No; this says which button is the default.
  bool DefaultYes = true;

  bool operator==(const TUserMessage&) const = default;
};

} // namespace twf
