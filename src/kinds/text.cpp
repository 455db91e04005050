#include "text.hpp"

#include "../schema_read.hpp"

namespace qc {

bool read_char(PyObject* dict, Val::Char& c) {
  return opt_bool(dict, keys::allow_blank, false, c.allow_blank) &&
         opt_bool(dict, keys::trim_whitespace, true, c.trim_whitespace) &&
         read_lengths(dict, c.lengths) &&
         opt_bool(dict, keys::email, false, c.email);
}

namespace {

// The characters of a dot-atom local part besides letters, digits and ".".
constexpr std::string_view EMAIL_LOCAL_SPECIALS = "!#$%&'*+/=?^_`{|}~-";
constexpr size_t EMAIL_MAX = 254;
constexpr size_t LABEL_MAX = 63;

bool is_local_piece(std::string_view piece) noexcept {
  if (piece.empty()) return false;
  for (char c : piece)
    if (!text::is_ascii_letter(c) && !text::is_digit(c) && EMAIL_LOCAL_SPECIALS.find(c) == std::string_view::npos)
      return false;
  return true;
}

bool is_domain_label(std::string_view label) noexcept {
  if (label.empty() || label.size() > LABEL_MAX || label.front() == '-' || label.back() == '-')
    return false;
  for (char c : label)
    if (!text::is_ascii_letter(c) && !text::is_digit(c) && c != '-') return false;
  return true;
}

// Calls `each` with every piece of `text` split at `sep`; false as soon as one
// piece is refused.
template <class Each>
bool all_pieces(std::string_view text, char sep, Each&& each) {
  for (;;) {
    size_t cut = text.find(sep);
    if (!each(text.substr(0, cut))) return false;
    if (cut == std::string_view::npos) return true;
    text.remove_prefix(cut + 1);
  }
}

}  // namespace

bool is_plain_email(std::string_view text) noexcept {
  if (text.size() > EMAIL_MAX) return false;
  for (char c : text)
    if ((unsigned char)c >= 0x80) return false;
  size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view domain = text.substr(at + 1);
  size_t last_dot = domain.rfind('.');
  if (last_dot == std::string_view::npos) return false;
  std::string_view top = domain.substr(last_dot + 1);
  if (top.size() < 2 || top.size() > LABEL_MAX) return false;
  for (char c : top)
    if (!text::is_ascii_letter(c)) return false;
  return all_pieces(text.substr(0, at), '.', is_local_piece) &&
         all_pieces(domain, '.', is_domain_label);
}

}  // namespace qc
