// The interpreter's side of translated rows: what a handler called from a
// row's host code throws, when a row is translated, and forgetting them.
#include <cstring>

#include "interpreter.h"

namespace sim::thumb {

void Interpreter::runGuarded(Interpreter& c, const Op& op) {
  try {
    op.run(c, op);
  } catch (...) {
    c.thrown_ = std::current_exception();
    c.attention_ = true;
  }
}

void Interpreter::forgetRows() {
  if (!anyTranslated_) return;
  std::memset(static_cast<void*>(rows_.get()), 0, mem_.flashSize / 2 * sizeof(TranslatedRow));
  translator_->reset();
  anyTranslated_ = false;
}

// The row at decoded form `at`, translated; when the code space is full,
// every row is forgotten first. Null if it cannot be translated: it is
// interpreted, and tried again once it has grown hot again.
RowTranslator::Row Interpreter::translateRow(const Op* slot, std::uint32_t at) {
  RowTranslator::Row row = translator_->translate(slot, slot->straight);
  if (row == nullptr) {
    forgetRows();
    row = translator_->translate(slot, slot->straight);
  }
  anyTranslated_ = anyTranslated_ || row != nullptr;
  rows_[at] = TranslatedRow{row, row != nullptr ? slot->straight : std::uint8_t{0}, 0};
  return row;
}

}  // namespace sim::thumb
