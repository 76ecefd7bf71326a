// The control wrappers on real Qt widgets (offscreen platform).
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QFrame>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QUiLoader>
#include <QVBoxLayout>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "carboncontrols.h"

// fontconfig keeps its configuration cache until the process ends; the sanitizer build's leak
// check would otherwise fail every test that lays out text.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

const OSType kSignature = FourCC("orUD");

void EnsureApplication() {
    static int argc = 1;
    static char name[] = "controls_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        new QApplication(argc, argv);  // lives until the test program ends
    }
}

template <typename Widget>
Widget* Tagged(QWidget* parent, const char* signature, int id) {
    auto* widget = new Widget(parent);
    parent->layout()->addWidget(widget);
    widget->setProperty(kControlSignatureProperty, QString::fromLatin1(signature));
    widget->setProperty(kControlIdProperty, id);
    return widget;
}

// A window holding one control of each kind, some of them nested in a frame, plus a decoy that
// has a known id under another signature.
struct TestWindow {
    struct Application {
        Application() { EnsureApplication(); }
    } application;  // before any widget
    QWidget window;
    QLabel* decoy;
    QLabel* label;
    QPushButton* button;
    QProgressBar* bar;
    QCheckBox* box;
    QLineEdit* edit;
    QSlider* slider;
    QPushButton* popup;
    QMenu* popupMenu;

    TestWindow() {
        new QVBoxLayout(&window);
        decoy = Tagged<QLabel>(&window, "xxxx", 200);
        auto* frame = new QFrame(&window);
        new QVBoxLayout(frame);
        window.layout()->addWidget(frame);
        label = Tagged<QLabel>(frame, "orUD", 200);
        button = Tagged<QPushButton>(frame, "orUD", 101);
        bar = Tagged<QProgressBar>(&window, "orUD", 300);
        box = Tagged<QCheckBox>(&window, "orUD", 400);
        edit = Tagged<QLineEdit>(&window, "orUD", 500);
        slider = Tagged<QSlider>(&window, "orUD", 600);
        popup = Tagged<QPushButton>(&window, "orUD", 700);
        popupMenu = new QMenu(popup);
        popup->setMenu(popupMenu);
    }

    template <typename Wrapper = CControl>
    Wrapper Bind(SInt32 id) {
        Wrapper wrapper;
        EXPECT_EQ(wrapper.Init({kSignature, id}, &window), noErr) << "id " << id;
        return wrapper;
    }
};

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++count;
        return false;
    }
};

TEST(ControlInit, FindsTheTaggedDescendantBySignatureAndId) {
    TestWindow test;
    CControl control;
    EXPECT_EQ(control.GetControlRef(), nullptr);
    ASSERT_EQ(control.Init({kSignature, 200}, &test.window), noErr);
    EXPECT_EQ(control.GetControlRef(), test.label);  // nested, and not the decoy
    EXPECT_EQ(static_cast<ControlRef>(control), test.label);

    // A missing ID unbinds even a bound wrapper; only the status tells.
    EXPECT_EQ(control.Init({kSignature, 999}, &test.window), errUnknownControl);
    EXPECT_EQ(control.GetControlRef(), nullptr);
    EXPECT_EQ(control.Init({FourCC("orUd"), 200}, &test.window), errUnknownControl);
    EXPECT_EQ(control.Init({kSignature, 200}, nullptr), paramErr);
    EXPECT_EQ(control.GetControlRef(), nullptr);
}

TEST(ControlInit, FindsControlsTaggedInADesignerFile) {
    EnsureApplication();
    QByteArray form = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>MainWindow</class>
 <widget class="QMainWindow" name="MainWindow">
  <widget class="QWidget" name="centralwidget">
   <widget class="QPushButton" name="updateButton">
    <property name="text"><string>Upgrade</string></property>
    <property name="controlSignature" stdset="0"><string>orUD</string></property>
    <property name="controlId" stdset="0"><number>101</number></property>
   </widget>
   <widget class="QProgressBar" name="progressBar">
    <property name="maximum"><number>100</number></property>
    <property name="value"><number>0</number></property>
    <property name="controlSignature" stdset="0"><string>orUD</string></property>
    <property name="controlId" stdset="0"><number>300</number></property>
   </widget>
  </widget>
 </widget>
</ui>
)";
    QBuffer buffer(&form);
    QUiLoader loader;
    std::unique_ptr<QWidget> window(loader.load(&buffer));
    ASSERT_NE(window, nullptr) << loader.errorString().toStdString();

    CControl button;
    ASSERT_EQ(button.Init({kSignature, 101}, window.get()), noErr);
    EXPECT_EQ(button.GetControlRef()->objectName(), "updateButton");
    CControl bar;
    ASSERT_EQ(bar.Init({kSignature, 300}, window.get()), noErr);
    bar.SetValue(42);
    EXPECT_EQ(bar.GetValue(), 42);
}

// The consistency-check line, anchored to the end of the output; the file's path ends in the
// source file's place in the source tree.
std::string CheckFailure() {
    std::string escaped;
    for (const char character : std::string(CONTROLS_SOURCE_FILE)) {
        if (std::string_view(".[]()*+?{}|^$\\").find(character) != std::string_view::npos)
            escaped += '\\';
        escaped += character;
    }
    return "(^|\n)[^\n]*/" + escaped + ":[0-9]+: failed assertion `_controlRef != NULL'\n$";
}

TEST(ControlCheckDeathTest, GuardedOperationsStopAnUnboundWrapper) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CControl control;
    CPopupControl popup;
    CCheckBox box;
    const RGBColor red{65535, 0, 0};
    const std::vector<std::pair<const char*, std::function<void()>>> operations = {
        {"SetTitle", [&] { control.SetTitle("x"); }},
        {"SetText", [&] { control.SetText("x"); }},
        {"Enable", [&] { control.Enable(true); }},
        {"Disable", [&] { control.Disable(); }},
        {"SetVisibility", [&] { control.SetVisibility(1); }},
        {"SetValue", [&] { control.SetValue(1); }},
        {"GetValue", [&] { control.GetValue(); }},
        {"SetMaximum", [&] { control.SetMaximum(1); }},
        {"GetMinimum", [&] { control.GetMinimum(); }},
        {"Draw", [&] { control.Draw(); }},
        {"SetFontControlStyle", [&] { control.SetFontControlStyle(12, teCenter, red); }},
        {"SetFontForeColor", [&] { control.SetFontForeColor(red); }},
        {"SetFontJustification", [&] { control.SetFontJustification(teCenter); }},
        {"GetMenuHandle", [&] { popup.GetMenuHandle(); }},
        {"Check", [&] { box.Check(); }},
        {"IsChecked", [&] { box.IsChecked(); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        EXPECT_DEATH(operation(), CheckFailure());
    }

    // A failed Init leaves the wrapper unbound just the same.
    EnsureApplication();
    QWidget empty;
    EXPECT_EQ(control.Init({kSignature, 101}, &empty), errUnknownControl);
    EXPECT_DEATH(control.SetText("x"), CheckFailure());
}

TEST(ControlCheck, UnguardedOperationsLetAnUnboundWrapperBe) {
    CEdit edit;
    edit.SetupEventHandler(
        kEventControlHit, [](EventHandlerCallRef, EventRef, void*) { return noErr; }, nullptr);
    edit.SetAction([](ControlRef, SInt16) {});
    edit.SetReference(7);
    EXPECT_EQ(edit.GetReference(), 0);
    edit.SetValue("text");
    edit.SetValue(std::string("text"));
    std::string text = "stale";
    edit.GetValue(text);
    EXPECT_EQ(text, "");
}

TEST(ControlText, SetTextPaintsAtOnceAndEditSetValueWaits) {
    TestWindow test;
    test.window.show();
    QCoreApplication::processEvents();
    PaintCounter labelPaints(test.label);
    PaintCounter editPaints(test.edit);

    CControl label = test.Bind(200);
    label.SetText("Orlo Not Found");
    EXPECT_EQ(test.label->text(), "Orlo Not Found");
    EXPECT_GE(labelPaints.count, 1);

    CEdit edit = test.Bind<CEdit>(500);
    edit.SetValue("1234");
    EXPECT_EQ(test.edit->text(), "1234");
    EXPECT_EQ(editPaints.count, 0);
    QCoreApplication::processEvents();
    EXPECT_GE(editPaints.count, 1);  // the field does get painted, by the event loop

    // SetText reaches Draw through the virtual table.
    struct CountingControl : CControl {
        int draws = 0;
        void Draw() override { ++draws; }
    } counting;
    ASSERT_EQ(counting.Init({kSignature, 200}, &test.window), noErr);
    counting.SetText("x");
    EXPECT_EQ(counting.draws, 1);
    counting.SetText("x");  // nothing changed: nothing painted
    EXPECT_EQ(counting.draws, 1);
}

TEST(ControlText, IsUtf8AndLiteral) {
    TestWindow test;
    CControl label = test.Bind(200);
    label.SetText("\u20AC caf\u00E9 \u6F22 \U0001F50C");  // beyond Latin-1 and the BMP
    EXPECT_EQ(test.label->text(), QString::fromUtf8("\u20AC caf\u00E9 \u6F22 \U0001F50C"));
    label.SetText("caf\xE9");  // not UTF-8: shown, not lost
    EXPECT_EQ(test.label->text(), QString::fromUtf8("caf\uFFFD"));
    label.SetText("<b>bold?</b>");
    EXPECT_EQ(test.label->textFormat(), Qt::PlainText);
    label.SetText(nullptr);
    EXPECT_EQ(test.label->text(), "");

    CEdit edit = test.Bind<CEdit>(500);
    test.edit->setText(QString::fromUtf8("\u20AC\u0178\u00FF\u6F22"));
    std::string text;
    edit.GetValue(text);
    EXPECT_EQ(text, "\u20AC\u0178\u00FF\u6F22");

    CControl button = test.Bind(101);
    button.SetTitle("Downgrade");
    EXPECT_EQ(test.button->text(), "Downgrade");
    button.SetText("Upgrade");
    EXPECT_EQ(test.button->text(), "Upgrade");
    CControl frameless = test.Bind(300);
    frameless.SetTitle("Progress");
    EXPECT_EQ(test.bar->windowTitle(), "Progress");
}

TEST(ControlText, EditGetValueGivesTheWholeText) {
    TestWindow test;
    CEdit edit = test.Bind<CEdit>(500);
    std::string text;
    for (const std::string value : {"", "8 chars!", "nine char", "a much longer serial number"}) {
        edit.SetValue(value);
        edit.GetValue(text);
        EXPECT_EQ(text, value);
    }
}

TEST(ControlValue, RangesAreKeptAndValuesPinned) {
    TestWindow test;
    CControl bar = test.Bind(300);
    EXPECT_EQ(bar.GetValue(), 0);  // a fresh QProgressBar says -1
    bar.SetMinimum(0);
    bar.SetMaximum(100);
    EXPECT_EQ(bar.GetMinimum(), 0);
    EXPECT_EQ(bar.GetMaximum(), 100);
    bar.SetValue(37);
    EXPECT_EQ(bar.GetValue(), 37);
    bar.SetValue(250);  // QProgressBar alone would ignore this and keep 37
    EXPECT_EQ(bar.GetValue(), 100);
    bar.SetValue(-5);
    EXPECT_EQ(bar.GetValue(), 0);

    CControl slider = test.Bind(600);
    slider.SetMinimum(-10);
    slider.SetMaximum(10);
    slider.SetValue(11);
    EXPECT_EQ(slider.GetValue(), 10);
    EXPECT_EQ(slider.GetMinimum(), -10);

    test.bar->setMaximum(100000);  // more than a control range can say
    EXPECT_EQ(bar.GetMaximum(), 32767);

    CControl label = test.Bind(200);
    label.SetValue(5);
    EXPECT_EQ(label.GetValue(), 0);
}

TEST(ControlValue, CheckBoxHasThreeStatesAndOnlyOneIsChecked) {
    TestWindow test;
    CCheckBox box = test.Bind<CCheckBox>(400);
    box.Check();
    EXPECT_EQ(test.box->checkState(), Qt::Checked);
    EXPECT_EQ(box.IsChecked(), 1);
    box.SetValue(2);
    EXPECT_EQ(test.box->checkState(), Qt::PartiallyChecked);
    EXPECT_EQ(box.GetValue(), 2);
    EXPECT_EQ(box.IsChecked(), 0);
    box.UnCheck();
    EXPECT_EQ(test.box->checkState(), Qt::Unchecked);
    EXPECT_EQ(box.IsChecked(), 0);
}

TEST(ControlState, EnableAndVisibility) {
    TestWindow test;
    CControl button = test.Bind(101);
    button.Disable();
    EXPECT_FALSE(test.button->isEnabled());
    button.Enable(true);
    EXPECT_TRUE(test.button->isEnabled());
    button.Enable(false);
    EXPECT_FALSE(test.button->isEnabled());

    CControl label = test.Bind(200);
    label.SetVisibility(0);
    EXPECT_TRUE(test.label->isHidden());
    label.SetVisibility(2);
    EXPECT_FALSE(test.label->isHidden());
}

TEST(ControlFont, EachOperationChangesOnlyItsOwnAttribute) {
    TestWindow test;
    CControl label = test.Bind(200);
    test.label->setAlignment(Qt::AlignLeft | Qt::AlignBottom);

    label.SetFontSize(18);
    label.SetFontForeColor({65535, 0, 0});
    EXPECT_EQ(test.label->font().pointSize(), 18);
    EXPECT_EQ(test.label->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    label.SetFontStyle(kStyleBold | kStyleUnderline);
    EXPECT_TRUE(test.label->font().bold());
    EXPECT_TRUE(test.label->font().underline());
    EXPECT_FALSE(test.label->font().italic());
    label.SetFontStyle(0);
    EXPECT_FALSE(test.label->font().bold());
    EXPECT_EQ(test.label->font().pointSize(), 18);

    label.SetFontJustification(teCenter);
    EXPECT_EQ(test.label->alignment(), Qt::AlignHCenter | Qt::AlignBottom);
    label.SetFontJustification(teFlushRight);
    EXPECT_EQ(test.label->alignment(), Qt::AlignRight | Qt::AlignAbsolute | Qt::AlignBottom);

    label.SetFontBackColor({0, 0, 65535});
    EXPECT_TRUE(test.label->autoFillBackground());
    EXPECT_EQ(test.label->palette().color(QPalette::Window), QColor(0, 0, 255));
    EXPECT_EQ(test.label->palette().color(QPalette::WindowText), QColor(255, 0, 0));

    CControl edit = test.Bind(500);
    edit.SetFontControlStyle(9, teFlushLeft, {0, 32896, 0});
    EXPECT_EQ(test.edit->font().pointSize(), 9);
    EXPECT_EQ(test.edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft | Qt::AlignAbsolute);
    EXPECT_EQ(test.edit->palette().color(QPalette::Text), QColor(0, 128, 0));
}

OSStatus CountHit(EventHandlerCallRef, EventRef, void* userData) {
    ++*static_cast<int*>(userData);
    return noErr;
}

TEST(ControlEvents, AClickCallsTheHandlerWithItsUserData) {
    TestWindow test;
    CControl button = test.Bind(101);
    int hits = 0;
    int otherHits = 0;
    button.SetupEventHandler(kEventControlHit, CountHit, &hits);
    button.SetupEventHandler(2, CountHit, &otherHits);  // not a control hit
    test.button->click();
    EXPECT_EQ(hits, 1);
    test.button->setEnabled(false);
    test.button->click();
    EXPECT_EQ(hits, 1);
    EXPECT_EQ(otherHits, 0);
}

std::vector<std::pair<ControlRef, SInt16>> gActions;
std::vector<std::pair<ControlRef, SInt16>> gOtherActions;

TEST(ControlEvents, ActionGetsThePartAndIsReplaced) {
    TestWindow test;
    gActions.clear();
    gOtherActions.clear();
    CControl slider = test.Bind(600);
    slider.SetAction([](ControlRef control, SInt16 part) { gActions.emplace_back(control, part); });
    test.slider->triggerAction(QAbstractSlider::SliderPageStepAdd);
    test.slider->triggerAction(QAbstractSlider::SliderSingleStepSub);
    ASSERT_EQ(gActions.size(), 2u);
    EXPECT_EQ(gActions[0], std::make_pair(ControlRef{test.slider}, kControlPageDownPart));
    EXPECT_EQ(gActions[1].second, kControlUpButtonPart);

    slider.SetAction([](ControlRef c, SInt16 part) { gOtherActions.emplace_back(c, part); });
    test.slider->triggerAction(QAbstractSlider::SliderMove);
    EXPECT_EQ(gActions.size(), 2u);
    ASSERT_EQ(gOtherActions.size(), 1u);
    EXPECT_EQ(gOtherActions[0].second, kControlIndicatorPart);
    slider.SetAction(nullptr);
    test.slider->triggerAction(QAbstractSlider::SliderMove);
    EXPECT_EQ(gOtherActions.size(), 1u);

    CControl button = test.Bind(101);
    button.SetAction([](ControlRef c, SInt16 part) { gActions.emplace_back(c, part); });
    test.button->click();
    EXPECT_EQ(gActions.back(), std::make_pair(ControlRef{test.button}, kControlButtonPart));
}

TEST(ControlEvents, ReferenceAndPopupMenu) {
    TestWindow test;
    CControl label = test.Bind(200);
    EXPECT_EQ(label.GetReference(), 0);
    label.SetReference(-123456);
    EXPECT_EQ(label.GetReference(), -123456);

    EXPECT_EQ(test.Bind<CPopupControl>(700).GetMenuHandle(), test.popupMenu);
    EXPECT_EQ(test.Bind<CPopupControl>(101).GetMenuHandle(), nullptr);
}

QStringList Texts(const QMenu& menu) {
    QStringList texts;
    for (const QAction* action : menu.actions())
        texts << (action->isSeparator() ? QStringLiteral("---") : action->text());
    return texts;
}

TEST(Menu, InitReplacesTheItemsUpToTheFirstEmptyOne) {
    EnsureApplication();
    QMenu qmenu;
    CMenu menu(&qmenu);
    menu.Reset();  // an empty menu: nothing to delete
    EXPECT_EQ(menu.CountItems(), 0);

    const std::string items[] = {"DV", "HDV", "", "never"};
    menu.Init(items);
    EXPECT_EQ(Texts(qmenu), QStringList({"DV", "HDV"}));
    EXPECT_EQ(menu.CountItems(), 2);

    QAction shared("shared");  // not owned by the menu: removed, not deleted
    qmenu.addAction(&shared);
    const std::string leadingEmpty[] = {"", "ignored"};
    menu.Init(leadingEmpty);
    EXPECT_EQ(menu.CountItems(), 0);
    EXPECT_EQ(shared.text(), "shared");
}

TEST(Menu, AppendReadsMetacharactersExceptFromAQString) {
    EnsureApplication();
    QMenu qmenu;
    CMenu menu(&qmenu);
    menu.Append("Open/O;(Disabled;-;!\x12Marked<B;Save & Quit^1");
    EXPECT_EQ(Texts(qmenu), QStringList({"Open", "Disabled", "---", "Marked", "Save && Quit"}));
    const QList<QAction*> actions = qmenu.actions();
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    EXPECT_FALSE(actions[1]->isEnabled());
    EXPECT_TRUE(actions[3]->isChecked());
    EXPECT_TRUE(actions[3]->font().bold());
    EXPECT_TRUE(actions[4]->isEnabled());

    menu.Append(std::string(300, 'x'));
    EXPECT_EQ(qmenu.actions().last()->text().size(), 255);

    menu.Append(QStringLiteral("(a;b/c"));
    EXPECT_EQ(qmenu.actions().last()->text(), "(a;b/c");
    EXPECT_TRUE(qmenu.actions().last()->isEnabled());
    EXPECT_EQ(menu.CountItems(), 7);
}

}  // namespace
