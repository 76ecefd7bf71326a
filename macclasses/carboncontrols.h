// Thin wrappers over the controls and menus of a window built from a Qt Designer .ui file. Each
// operation is one change to the wrapped widget; a wrapper owns nothing and can be a plain member
// of a window object.
//
// A control is found by its ControlID. In the .ui file each control widget carries two dynamic
// properties (stdset="0"):
//   controlSignature  string of four Latin-1 characters, e.g. "orUD"
//   controlId         int, e.g. 101
// Text given to and read from the wrappers is UTF-8, so that any text, translated or not, reaches
// the controls.
#pragma once

#include <QString>
#include <string>

#include "ToolkitTypes.h"

inline constexpr char kControlSignatureProperty[] = "controlSignature";
inline constexpr char kControlIdProperty[] = "controlId";
// Where SetReference keeps its value on the widget.
inline constexpr char kControlReferenceProperty[] = "controlReference";

struct ControlID {
    OSType signature;
    SInt32 id;
};

// Called while the user works a control: a slider's step, page or drag, or a button held down.
using ControlActionProcPtr = void (*)(ControlRef control, SInt16 part);

// Part codes handed to an action procedure.
constexpr SInt16 kControlButtonPart = 10;
constexpr SInt16 kControlUpButtonPart = 20;    // one step towards the minimum
constexpr SInt16 kControlDownButtonPart = 21;  // one step towards the maximum
constexpr SInt16 kControlPageUpPart = 22;
constexpr SInt16 kControlPageDownPart = 23;
constexpr SInt16 kControlIndicatorPart = 129;  // the thumb was dragged, or moved to an end

// Bits of the style given to SetFontStyle.
constexpr SInt16 kStyleBold = 0x01;
constexpr SInt16 kStyleItalic = 0x02;
constexpr SInt16 kStyleUnderline = 0x04;

// Justifications given to SetFontJustification.
constexpr SInt16 teFlushDefault = 0;  // leading edge of the current layout direction
constexpr SInt16 teCenter = 1;
constexpr SInt16 teFlushRight = -1;
constexpr SInt16 teFlushLeft = -2;

// Widgets understood: text on QLabel, QLineEdit and QAbstractButton; value and range on
// QProgressBar and QAbstractSlider; value on QCheckBox (0 unchecked, 1 checked, 2 mixed) and
// other checkable buttons (0 or 1). An operation that does not apply to the widget does nothing.
//
// Operations marked "guarded" stop the program with a consistency-check message when the wrapper
// is not bound to a control (Init not called, or the window has no control with that ID).
class CControl {
  public:
    CControl() = default;

    // Binds to the descendant of window tagged with id. Returns noErr, errUnknownControl when no
    // widget carries the ID (the wrapper is then unbound), or paramErr for a null window.
    OSStatus Init(ControlID id, WindowRef window);

    void SetTitle(const char* title);           // guarded; button text, group title or window title
    virtual void SetText(const char* text);     // guarded; the new text is painted at once
    void Enable(bool enable);                   // guarded
    void Disable();                             // guarded
    void SetVisibility(unsigned char visible);  // guarded; 0 hides, anything else shows
    virtual void SetValue(SInt32 value);        // guarded; pinned to the control's range
    virtual SInt32 GetValue() const;            // guarded
    void SetMaximum(SInt16 maximum);            // guarded
    void SetMinimum(SInt16 minimum);            // guarded
    SInt16 GetMaximum() const;                  // guarded
    SInt16 GetMinimum() const;                  // guarded
    virtual void Draw();  // guarded; repaints now, not at the next event-loop pass

    // Guarded. Each changes only its own attributes of the font or palette.
    void SetFontControlStyle(SInt16 size, SInt16 justification, RGBColor foreColor);
    void SetFontSize(SInt16 size);    // points; a size below 1 leaves the size as it is
    void SetFontStyle(SInt16 style);  // kStyleBold | kStyleItalic | kStyleUnderline; 0 is plain
    void SetFontForeColor(RGBColor color);
    void SetFontBackColor(RGBColor color);
    void SetFontJustification(SInt16 justification);  // QLabel and QLineEdit only

    // Not guarded: on an unbound wrapper these do nothing (GetReference gives 0).
    // kEventControlHit on a button calls handler(nullptr, nullptr, userData) on every click; the
    // handler's result is not used. Other kinds and widgets get no handler.
    void SetupEventHandler(UInt32 eventKind, EventHandlerProcPtr handler, void* userData);
    void SetAction(ControlActionProcPtr action);  // replaces the previous action; null removes it
    void SetReference(SInt32 reference);
    SInt32 GetReference() const;

    ControlRef GetControlRef() const { return _controlRef; }
    operator ControlRef() const { return _controlRef; }

  protected:
    ControlRef _controlRef = nullptr;
    ControlID _id{};
    WindowRef _window = nullptr;
};

class CPopupControl : public CControl {
  public:
    // Guarded. The menu of a QPushButton or QToolButton, or null when it has none.
    MenuHandle GetMenuHandle() const;
};

class CCheckBox : public CControl {
  public:
    void Check();           // guarded; SetValue(1)
    void UnCheck();         // guarded; SetValue(0)
    int IsChecked() const;  // guarded; 1 only for the value 1, so a mixed box (2) gives 0
};

// A QLineEdit. None of these is guarded: on an unbound wrapper the setters do nothing and
// GetValue gives the empty string.
class CEdit : public CControl {
  public:
    using CControl::GetValue;
    using CControl::SetValue;

    void SetValue(std::string text);  // no immediate repaint, unlike SetText
    void SetValue(const char* text);
    // The whole text: the 8-character limit of the original buffer is not kept, as a longer
    // text would otherwise come back empty.
    void GetValue(std::string& text) const;
};

class CMenu {
  public:
    explicit CMenu(MenuRef menu) : _handle(menu) {}

    // Reset, then Append each item up to (not including) the first empty string.
    void Init(const std::string* items);
    void Reset();  // removes every item (and deletes those the menu owns)

    // At most 255 characters, read with the menu metacharacters: ';' or '\r' separates items, a
    // leading '-' makes a separator, '(' disables the item, '!' and the next character check it,
    // '/' and the next character give it the shortcut Ctrl+character, '<' with B, I or U styles
    // its text, '^' and the next character (an icon number) are dropped.
    void Append(const char* item);
    void Append(std::string item);
    void Append(const QString& item);  // taken literally, no metacharacters

    UInt16 CountItems() const;

  private:
    MenuHandle _handle;
};
