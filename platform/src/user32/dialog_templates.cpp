// Dialog templates (DIALOGEX and DIALOG) read into windows, as the system
// reads them from a module's resources.
#include "window_table.h"

namespace qmsim::ui {

class TemplateReader {
 public:
  TemplateReader(const BYTE* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Word(WORD& out) {
    if (m_at + 2 > m_size) return false;
    out = static_cast<WORD>(m_data[m_at] | (m_data[m_at + 1] << 8));
    m_at += 2;
    return true;
  }
  bool Short(short& out) {
    WORD word = 0;
    if (!Word(word)) return false;
    out = static_cast<short>(word);
    return true;
  }
  bool Dword(DWORD& out) {
    WORD low = 0, high = 0;
    if (!Word(low) || !Word(high)) return false;
    out = static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16);
    return true;
  }
  bool Byte(BYTE& out) {
    if (m_at + 1 > m_size) return false;
    out = m_data[m_at++];
    return true;
  }
  // A NUL-terminated UTF-16 text; characters beyond ASCII become '?'.
  bool Text(std::string& out, WORD first) {
    out.clear();
    for (WORD c = first; c != 0;) {
      out += static_cast<char>(c < 0x80 ? c : '?');
      if (!Word(c)) return false;
    }
    return true;
  }
  // Nothing (0), an ordinal (0xFFFF and a WORD) or a text.
  bool TextOrOrdinal(std::string& text, std::optional<WORD>& ordinal) {
    WORD first = 0;
    if (!Word(first)) return false;
    ordinal.reset();
    text.clear();
    if (first == 0xFFFF) {
      WORD value = 0;
      if (!Word(value)) return false;
      ordinal = value;
      return true;
    }
    return Text(text, first);
  }
  void AlignDword() { m_at = (m_at + 3) & ~std::size_t{3}; }

 private:
  const BYTE* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

const char* ClassOfAtom(WORD atom) {
  switch (atom) {
    case 0x80:
      return "Button";
    case 0x81:
      return "Edit";
    case 0x82:
      return "Static";
    case 0x83:
      return "ListBox";
    case 0x84:
      return "ScrollBar";
    case 0x85:
      return "ComboBox";
    default:
      return "#unknown";
  }
}

bool ParseTemplate(const BYTE* data, std::size_t size, Window& dialog,
                   std::vector<Window>& controls) {
  TemplateReader in(data, size);
  WORD version = 0, signature = 0;
  if (!in.Word(version) || !in.Word(signature)) return false;
  const bool extended = version == 1 && signature == 0xFFFF;
  WORD count = 0;
  if (extended) {
    DWORD helpId = 0;
    if (!in.Dword(helpId) || !in.Dword(dialog.exStyle) || !in.Dword(dialog.style)) return false;
  } else {
    in = TemplateReader(data, size);
    if (!in.Dword(dialog.style) || !in.Dword(dialog.exStyle)) return false;
  }
  if (!in.Word(count) || !in.Short(dialog.x) || !in.Short(dialog.y) || !in.Short(dialog.cx) ||
      !in.Short(dialog.cy)) {
    return false;
  }
  std::string ignored;
  std::optional<WORD> ordinal;
  if (!in.TextOrOrdinal(ignored, ordinal)) return false;  // menu
  if (!in.TextOrOrdinal(ignored, ordinal)) return false;  // window class
  WORD first = 0;
  if (!in.Word(first) || !in.Text(dialog.text, first)) return false;
  if ((dialog.style & DS_SETFONT) != 0) {
    WORD points = 0;
    if (!in.Word(points)) return false;
    dialog.pointSize = points;
    if (extended) {
      WORD weight = 0;
      BYTE italic = 0, charset = 0;
      if (!in.Word(weight) || !in.Byte(italic) || !in.Byte(charset)) return false;
    }
    if (!in.Word(first) || !in.Text(dialog.fontName, first)) return false;
  }
  dialog.className = kDialogClass;

  for (WORD i = 0; i < count; ++i) {
    in.AlignDword();
    Window control;
    if (extended) {
      DWORD helpId = 0, id = 0;
      if (!in.Dword(helpId) || !in.Dword(control.exStyle) || !in.Dword(control.style) ||
          !in.Short(control.x) || !in.Short(control.y) || !in.Short(control.cx) ||
          !in.Short(control.cy) || !in.Dword(id)) {
        return false;
      }
      control.id = static_cast<int>(id);
    } else {
      WORD id = 0;
      if (!in.Dword(control.style) || !in.Dword(control.exStyle) || !in.Short(control.x) ||
          !in.Short(control.y) || !in.Short(control.cx) || !in.Short(control.cy) || !in.Word(id)) {
        return false;
      }
      control.id = static_cast<short>(id);
    }
    if (!in.TextOrOrdinal(control.className, ordinal)) return false;
    if (ordinal) control.className = ClassOfAtom(*ordinal);
    if (!in.TextOrOrdinal(control.text, ordinal)) return false;
    WORD extra = 0;
    if (!in.Word(extra)) return false;
    for (WORD skip = 0; skip < extra; ++skip) {
      BYTE byte = 0;
      if (!in.Byte(byte)) return false;
    }
    controls.push_back(std::move(control));
  }
  return true;
}

}  // namespace qmsim::ui
