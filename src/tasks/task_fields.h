// Internal: the 37 settings as members of TTaskSettings with the rule by
// which a read value reaches its control. Shared by the store functions and
// by ApplyTaskFile so both follow one table.
#pragma once

#include <variant>

#include "tasks/task_settings.h"

namespace twf::detail {

enum class TFieldRule {
  frText,    // string, taken as it is
  frBool,    // integer, true when not 0
  frIndex,   // list index, applied only when 0 <= v < Limit
  frRange,   // number, clamped to Min..Limit
  frWarnPct, // a number one of the percentage items shows; 25 when absent
  frAuthKey, // a name of the auth key list; "(none)" when absent or unknown
};

struct TField {
  TSettingInfo Info;
  std::variant<std::string TTaskSettings::*, int32_t TTaskSettings::*, bool TTaskSettings::*> Member;
  TFieldRule Rule;
  int32_t Min = 0;
  int32_t Limit = 0;
};

const std::array<TField, 37>& TaskFields();
// The field of a setting name (letter case ignored), nullptr for others.
const TField* FindTaskField(std::string_view name);

} // namespace twf::detail
