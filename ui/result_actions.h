#pragma once
// What a double-click on the result list offers: open the entry's address
// through the desktop shell, or copy it to the clipboard.

#include "engine/text.h"

namespace tovarin {

class ResultList;

// How the question box was closed, with the codes it reports.
enum class BoxAnswer : int {
  cancel = 1,  // Cancel, Esc or the box's close box
  yes = 5,     // open the address
  no = 6,      // copy the address
};

// The handler of a double-click on `list`: reads the selected entry (empty
// text with none), asks, then opens (Yes) or copies (No) it.
void result_double_clicked(const ResultList& list);

// Shows "是：打开网址，否：复制网址" with the buttons Yes, No and Cancel, modal to
// the whole program, and waits for the answer.
BoxAnswer ask_open_or_copy();

// Hands `address` to the desktop's "open" action; does not wait and does not
// look at the outcome.
void open_with_shell(const Text& address);

// Replaces the clipboard's contents by `address` as plain text only; true
// when it was placed there.
bool set_clipboard_text(const Text& address);

}  // namespace tovarin
