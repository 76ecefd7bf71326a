#include "carboncontrols.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAction>
#include <QCheckBox>
#include <QColor>
#include <QFont>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRgba64>
#include <QToolButton>
#include <QVariant>
#include <algorithm>
#include <climits>
#include <cstddef>
#include <string_view>

#include "Brim_Check.h"

namespace {

// Text crosses the wrappers as UTF-8, so any Unicode text reaches a control; a byte sequence
// that is not UTF-8 shows as U+FFFD rather than being dropped.
QString FromUtf8(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString FromUtf8(const char* text) {
    return FromUtf8(text == nullptr ? std::string_view() : std::string_view(text));
}

std::string ToUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// The signature property as a four-character code; 0 when it is missing or not four Latin-1
// characters (0 is no valid code, so it matches no ControlID in use).
OSType SignatureOf(const QWidget* widget) {
    const QString text = widget->property(kControlSignatureProperty).toString();
    if (text.size() != 4) return 0;
    OSType signature = 0;
    for (const QChar character : text) {
        if (character.unicode() > 0xFF) return 0;
        signature = (signature << 8) | character.unicode();
    }
    return signature;
}

OSStatus GetControlByID(WindowRef window, const ControlID& id, ControlRef* control) {
    *control = nullptr;
    if (window == nullptr) return paramErr;
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        bool isNumber = false;
        const int widgetId = widget->property(kControlIdProperty).toInt(&isNumber);
        if (isNumber && widgetId == id.id && SignatureOf(widget) == id.signature) {
            *control = widget;
            return noErr;
        }
    }
    return errUnknownControl;
}

SInt16 Saturated16(int value) {
    return static_cast<SInt16>(std::clamp(value, SHRT_MIN, SHRT_MAX));
}

// Which attributes a font-style change sets; the other fields of the record are not looked at.
constexpr SInt16 kControlUseFaceMask = 0x02;
constexpr SInt16 kControlUseSizeMask = 0x04;
constexpr SInt16 kControlUseForeColorMask = 0x08;
constexpr SInt16 kControlUseBackColorMask = 0x10;
constexpr SInt16 kControlUseJustMask = 0x40;

struct ControlFontStyleRec {
    SInt16 flags;
    SInt16 size;
    SInt16 style;
    SInt16 just;
    RGBColor foreColor;
    RGBColor backColor;
};

QColor ToQColor(RGBColor color) {
    return QColor(QRgba64::fromRgba64(color.red, color.green, color.blue, 0xFFFF));
}

Qt::Alignment HorizontalAlignment(SInt16 justification) {
    switch (justification) {
        case teCenter:
            return Qt::AlignHCenter;
        case teFlushRight:
            return Qt::AlignRight | Qt::AlignAbsolute;
        case teFlushLeft:
            return Qt::AlignLeft | Qt::AlignAbsolute;
        default:
            return Qt::AlignLeading;
    }
}

void SetControlFontStyle(QWidget* control, const ControlFontStyleRec& style) {
    if (style.flags & (kControlUseFaceMask | kControlUseSizeMask)) {
        QFont font = control->font();
        if (style.flags & kControlUseFaceMask) {
            font.setBold(style.style & kStyleBold);
            font.setItalic(style.style & kStyleItalic);
            font.setUnderline(style.style & kStyleUnderline);
        }
        if ((style.flags & kControlUseSizeMask) && style.size > 0) font.setPointSize(style.size);
        control->setFont(font);
    }
    if (style.flags & (kControlUseForeColorMask | kControlUseBackColorMask)) {
        // Labels draw with WindowText, edit fields with Text, buttons with ButtonText.
        QPalette palette = control->palette();
        if (style.flags & kControlUseForeColorMask) {
            for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                palette.setColor(role, ToQColor(style.foreColor));
        }
        if (style.flags & kControlUseBackColorMask) {
            for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
                palette.setColor(role, ToQColor(style.backColor));
            control->setAutoFillBackground(true);
        }
        control->setPalette(palette);
    }
    if (style.flags & kControlUseJustMask) {
        const Qt::Alignment horizontal = HorizontalAlignment(style.just);
        if (auto* label = qobject_cast<QLabel*>(control)) {
            label->setAlignment((label->alignment() & Qt::AlignVertical_Mask) | horizontal);
        } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
            edit->setAlignment((edit->alignment() & Qt::AlignVertical_Mask) | horizontal);
        }
    }
}

SInt16 PartOfSliderAction(int sliderAction) {
    switch (sliderAction) {
        case QAbstractSlider::SliderSingleStepSub:
            return kControlUpButtonPart;
        case QAbstractSlider::SliderSingleStepAdd:
            return kControlDownButtonPart;
        case QAbstractSlider::SliderPageStepSub:
            return kControlPageUpPart;
        case QAbstractSlider::SliderPageStepAdd:
            return kControlPageDownPart;
        default:
            return kControlIndicatorPart;
    }
}

// Names the object whose lifetime bounds a control's action connection.
constexpr char kActionContextName[] = "controlActionContext";

// A '&' would otherwise mark the next character as the item's mnemonic.
QString LiteralMenuText(const QString& text) {
    QString escaped = text;
    return escaped.replace(u'&', QStringLiteral("&&"));
}

// One item of a metacharacter string (see CMenu::Append).
void AppendMenuItem(QMenu* menu, std::string_view item) {
    if (item.empty()) return;
    if (item.front() == '-') {
        menu->addSeparator();
        return;
    }
    std::string text;
    bool enabled = true;
    bool checked = false;
    char shortcut = 0;
    SInt16 style = 0;
    for (std::size_t i = 0; i < item.size(); ++i) {
        const char character = item[i];
        const bool hasArgument = i + 1 < item.size();
        if (character == '(') {
            enabled = false;
        } else if (character == '!' && hasArgument) {
            checked = true;
            ++i;
        } else if (character == '/' && hasArgument) {
            shortcut = item[++i];
        } else if (character == '<' && hasArgument) {
            const char code = item[++i];
            style |= code == 'B'   ? kStyleBold
                     : code == 'I' ? kStyleItalic
                     : code == 'U' ? kStyleUnderline
                                   : 0;
        } else if (character == '^' && hasArgument) {
            ++i;
        } else {
            text.push_back(character);
        }
    }
    QAction* action = menu->addAction(LiteralMenuText(FromUtf8(std::string_view(text))));
    action->setEnabled(enabled);
    if (checked) {
        action->setCheckable(true);
        action->setChecked(true);
    }
    if (shortcut != 0) {
        action->setShortcut(
            QKeySequence(QStringLiteral("Ctrl+") + FromUtf8(std::string_view(&shortcut, 1))));
    }
    if (style != 0) {
        QFont font = action->font();
        font.setBold(style & kStyleBold);
        font.setItalic(style & kStyleItalic);
        font.setUnderline(style & kStyleUnderline);
        action->setFont(font);
    }
}

}  // namespace

// ---- CControl ----

OSStatus CControl::Init(ControlID id, WindowRef window) {
    _id = id;
    _window = window;
    return GetControlByID(_window, _id, &_controlRef);
}

void CControl::SetTitle(const char* title) {
    BRIM_CHECK(_controlRef != NULL);
    const QString text = FromUtf8(title);
    if (auto* button = qobject_cast<QAbstractButton*>(_controlRef)) {
        button->setText(text);
    } else if (auto* group = qobject_cast<QGroupBox*>(_controlRef)) {
        group->setTitle(text);
    } else {
        _controlRef->setWindowTitle(text);
    }
}

void CControl::SetText(const char* text) {
    BRIM_CHECK(_controlRef != NULL);
    const QString converted = FromUtf8(text);
    // The same text again changes nothing and is not painted again: a window that sets its texts
    // on every tick would otherwise repaint them all the time.
    if (auto* label = qobject_cast<QLabel*>(_controlRef)) {
        if (label->text() == converted && label->textFormat() == Qt::PlainText) return;
        // The text is shown as given, never read as HTML.
        label->setTextFormat(Qt::PlainText);
        label->setText(converted);
    } else if (auto* edit = qobject_cast<QLineEdit*>(_controlRef)) {
        if (edit->text() == converted) return;
        edit->setText(converted);
    } else if (auto* button = qobject_cast<QAbstractButton*>(_controlRef)) {
        if (button->text() == converted) return;
        button->setText(converted);
    }
    Draw();
}

void CControl::Enable(bool enable) {
    BRIM_CHECK(_controlRef != NULL);
    _controlRef->setEnabled(enable);
}

void CControl::Disable() {
    BRIM_CHECK(_controlRef != NULL);
    _controlRef->setEnabled(false);
}

void CControl::SetVisibility(unsigned char visible) {
    BRIM_CHECK(_controlRef != NULL);
    _controlRef->setVisible(visible != 0);  // Qt does nothing when it is already so
}

void CControl::SetValue(SInt32 value) {
    BRIM_CHECK(_controlRef != NULL);
    // Qt's setters do nothing, and paint nothing, when the value is already the same.
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef)) {
        // QProgressBar ignores a value outside its range; the toolkit pins it to the range.
        bar->setValue(std::clamp(static_cast<int>(value), bar->minimum(), bar->maximum()));
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef)) {
        slider->setValue(value);
    } else if (auto* box = qobject_cast<QCheckBox*>(_controlRef)) {
        if (value >= 2) {
            box->setTristate(true);
            box->setCheckState(Qt::PartiallyChecked);
        } else {
            box->setCheckState(value == 1 ? Qt::Checked : Qt::Unchecked);
        }
    } else if (auto* button = qobject_cast<QAbstractButton*>(_controlRef);
               button != nullptr && button->isCheckable()) {
        button->setChecked(value != 0);
    }
}

SInt32 CControl::GetValue() const {
    BRIM_CHECK(_controlRef != NULL);
    // A bar never set, or reset, reports minimum - 1 ("no progress"); a control value is always
    // within its range.
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef))
        return std::max(bar->value(), bar->minimum());
    if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef)) return slider->value();
    if (auto* box = qobject_cast<QCheckBox*>(_controlRef)) {
        switch (box->checkState()) {
            case Qt::Checked:
                return 1;
            case Qt::PartiallyChecked:
                return 2;
            default:
                return 0;
        }
    }
    if (auto* button = qobject_cast<QAbstractButton*>(_controlRef)) return button->isChecked();
    return 0;
}

void CControl::SetMaximum(SInt16 maximum) {
    BRIM_CHECK(_controlRef != NULL);
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef)) {
        bar->setMaximum(maximum);
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef)) {
        slider->setMaximum(maximum);
    }
}

void CControl::SetMinimum(SInt16 minimum) {
    BRIM_CHECK(_controlRef != NULL);
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef)) {
        bar->setMinimum(minimum);
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef)) {
        slider->setMinimum(minimum);
    }
}

SInt16 CControl::GetMaximum() const {
    BRIM_CHECK(_controlRef != NULL);
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef)) return Saturated16(bar->maximum());
    if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef))
        return Saturated16(slider->maximum());
    return 0;
}

SInt16 CControl::GetMinimum() const {
    BRIM_CHECK(_controlRef != NULL);
    if (auto* bar = qobject_cast<QProgressBar*>(_controlRef)) return Saturated16(bar->minimum());
    if (auto* slider = qobject_cast<QAbstractSlider*>(_controlRef))
        return Saturated16(slider->minimum());
    return 0;
}

void CControl::Draw() {
    BRIM_CHECK(_controlRef != NULL);
    _controlRef->repaint();
}

void CControl::SetFontControlStyle(SInt16 size, SInt16 justification, RGBColor foreColor) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseSizeMask | kControlUseForeColorMask | kControlUseJustMask;
    style.size = size;
    style.just = justification;
    style.foreColor = foreColor;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetFontSize(SInt16 size) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseSizeMask;
    style.size = size;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetFontStyle(SInt16 fontStyle) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseFaceMask;
    style.style = fontStyle;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetFontForeColor(RGBColor color) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseForeColorMask;
    style.foreColor = color;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetFontBackColor(RGBColor color) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseBackColorMask;
    style.backColor = color;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetFontJustification(SInt16 justification) {
    BRIM_CHECK(_controlRef != NULL);
    ControlFontStyleRec style{};
    style.flags = kControlUseJustMask;
    style.just = justification;
    SetControlFontStyle(_controlRef, style);
}

void CControl::SetupEventHandler(UInt32 eventKind, EventHandlerProcPtr handler, void* userData) {
    auto* button = qobject_cast<QAbstractButton*>(_controlRef);
    if (eventKind != kEventControlHit || button == nullptr || handler == nullptr) return;
    QObject::connect(button, &QAbstractButton::clicked, button,
                     [handler, userData] { handler(nullptr, nullptr, userData); });
}

void CControl::SetAction(ControlActionProcPtr action) {
    if (_controlRef == nullptr) return;
    // A control has one action. Its connection lives as long as a context object, so deleting
    // that object drops the previous action.
    delete _controlRef->findChild<QObject*>(kActionContextName, Qt::FindDirectChildrenOnly);
    if (action == nullptr) return;
    auto* context = new QObject(_controlRef);
    context->setObjectName(kActionContextName);
    ControlRef control = _controlRef;
    if (auto* slider = qobject_cast<QAbstractSlider*>(control)) {
        QObject::connect(slider, &QAbstractSlider::actionTriggered, context,
                         [action, control](int sliderAction) {
                             action(control, PartOfSliderAction(sliderAction));
                         });
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        QObject::connect(button, &QAbstractButton::pressed, context,
                         [action, control] { action(control, kControlButtonPart); });
    }
}

void CControl::SetReference(SInt32 reference) {
    if (_controlRef != nullptr) _controlRef->setProperty(kControlReferenceProperty, reference);
}

SInt32 CControl::GetReference() const {
    return _controlRef == nullptr ? 0 : _controlRef->property(kControlReferenceProperty).toInt();
}

// ---- CPopupControl, CCheckBox, CEdit ----

MenuHandle CPopupControl::GetMenuHandle() const {
    BRIM_CHECK(_controlRef != NULL);
    if (auto* button = qobject_cast<QPushButton*>(_controlRef)) return button->menu();
    if (auto* button = qobject_cast<QToolButton*>(_controlRef)) return button->menu();
    return nullptr;
}

void CCheckBox::Check() {
    BRIM_CHECK(_controlRef != NULL);
    SetValue(1);
}

void CCheckBox::UnCheck() {
    BRIM_CHECK(_controlRef != NULL);
    SetValue(0);
}

int CCheckBox::IsChecked() const {
    BRIM_CHECK(_controlRef != NULL);
    return GetValue() == 1 ? 1 : 0;
}

void CEdit::SetValue(std::string text) {
    SetValue(text.c_str());
}

void CEdit::SetValue(const char* text) {
    if (auto* edit = qobject_cast<QLineEdit*>(_controlRef)) edit->setText(FromUtf8(text));
}

void CEdit::GetValue(std::string& text) const {
    auto* edit = qobject_cast<QLineEdit*>(_controlRef);
    text = edit == nullptr ? std::string() : ToUtf8(edit->text());
}

// ---- CMenu ----

void CMenu::Init(const std::string* items) {
    Reset();
    for (; items != nullptr && !items->empty(); ++items) Append(items->c_str());
}

void CMenu::Reset() {
    const UInt16 count = CountItems();
    for (UInt16 i = 0; i < count; ++i) {
        QAction* first = _handle->actions().constFirst();
        _handle->removeAction(first);
        if (first->parent() == _handle) delete first;
    }
}

void CMenu::Append(const char* item) {
    if (_handle == nullptr || item == nullptr) return;
    // The toolkit copies the text into a length-prefixed string first, so only 255 bytes count.
    const std::string_view text = std::string_view(item).substr(0, 255);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of(";\r", start), text.size());
        AppendMenuItem(_handle, text.substr(start, end - start));
        start = end + 1;
    }
}

void CMenu::Append(std::string item) {
    Append(item.c_str());
}

void CMenu::Append(const QString& item) {
    if (_handle != nullptr) _handle->addAction(LiteralMenuText(item));
}

UInt16 CMenu::CountItems() const {
    return _handle == nullptr ? 0 : static_cast<UInt16>(_handle->actions().size());
}
