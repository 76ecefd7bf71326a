// The utility's one window. A repeating timer drives a three-state machine: while waiting it
// shows the identity of the Orlo on the bus and titles the update button, once the user has
// confirmed it starts the background run, and while the run lasts it copies the progress into the
// progress bar; at the end an alert tells the user how the run went.
//
// Everything here runs on the event-loop thread.
#pragma once

#include <QColor>
#include <QCoreApplication>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>

#include "InhibitorLock.h"
#include "PortalInhibit.h"
#include "Process.h"
#include "SeatUser.h"
#include "UnitDiagnosis.h"
#include "carboncontrols.h"
#include "orlofirmwareupdate.h"

class QSocketNotifier;
class QTimer;

using EventLoopTimerRef = QTimer*;
using DialogItemIndex = SInt16;  // 1-based index of the alert button that was pressed

// A menu command: the item's commandId property (four characters) in the .ui file.
struct HICommand {
    UInt32 attributes;
    UInt32 commandID;
    MenuRef menuRef;
    UInt16 menuItemIndex;
};
// A command event as the window's command handler receives it.
struct OpaqueEventRef {
    HICommand command;
};
constexpr UInt32 kHICommandAbout = FourCC("abou");
constexpr UInt32 kHICommandQuit = FourCC("quit");

constexpr ControlID ORLOCancelButtonID{FourCC("orUD"), 100};
constexpr ControlID ORLOUpdateButtonID{FourCC("orUD"), 101};
constexpr ControlID ORLOCurrentFirmwareVersionStrID{FourCC("orUD"), 200};
constexpr ControlID ORLOCurrentSerialNumberStrID{FourCC("orUD"), 201};
constexpr ControlID ORLOFinalCutRunningStrID{FourCC("orUD"), 202};
constexpr ControlID ORLOUpdateFirmwareVersionStrID{FourCC("orUD"), 203};
constexpr ControlID ORLOProgressBarID{FourCC("orUD"), 300};

enum OrloFirmwareUpdateType : UInt32 { WAITFORINPUT = 0, STARTUPDATE = 1, UPDATING = 2 };

class COrloFirmwareUpdateDialog {
    // The window's texts are translated in this class's context.
    Q_DECLARE_TR_FUNCTIONS(COrloFirmwareUpdateDialog)

  public:
    // Binds the controls of `window` (built from the resource, see CreateWindowFromResource) and
    // starts polling `stack`, which must outlive the dialog. The window must outlive it too; the
    // dialog is deleted first. Identification's diagnostic lines are written for a tick whose
    // finding differs from the last one's, or for every tick when `verbose`.
    COrloFirmwareUpdateDialog(WindowRef window, fw::FireWireStack& stack, bool verbose = false);
    // Waits for a run that is still active: it uses the controller to its end.
    ~COrloFirmwareUpdateDialog();

    COrloFirmwareUpdateDialog(const COrloFirmwareUpdateDialog&) = delete;
    COrloFirmwareUpdateDialog& operator=(const COrloFirmwareUpdateDialog&) = delete;

    OSStatus UpdateEventHandler(EventHandlerCallRef inHandlerRef, EventRef inEvent);
    OSStatus CancelEventHandler(EventHandlerCallRef inHandlerRef, EventRef inEvent);
    // eventNotHandledErr lets the standard handling of the command run (for 'quit': quitting).
    OSStatus ApplicationCommandHandler(EventHandlerCallRef handlerRef, EventRef event);
    OSStatus TimerEventHandler(EventLoopTimerRef timerRef);

    static OSStatus UpdateEventHandlerStatic(EventHandlerCallRef inHandlerRef, EventRef inEvent,
                                             void* inUserData);
    static OSStatus CancelEventHandlerStatic(EventHandlerCallRef inHandlerRef, EventRef inEvent,
                                             void* inUserData);
    static OSStatus ApplicationCommandHandlerStatic(EventHandlerCallRef handlerRef, EventRef event,
                                                    void* userData);
    static OSStatus TimerEventHandlerStatic(EventLoopTimerRef timerRef, void* inUserData);

    // Which Orlo the window shows and updates when several are connected: its node, GUID or
    // serial number (as orlo-firmware-update list shows them); empty for the first listed.
    void SelectDevice(const std::string& device);

    OrloFirmwareUpdateType GetUpdateState() const { return _updateState; }
    // Closing the window, like the Quit command, would abandon a run half way: refused then.
    bool MayClose() const { return _updateState == WAITFORINPUT; }
    // A request to end the utility from outside the window (a termination signal): taken at once
    // while waiting or before the confirmed update has begun (nothing is written then), otherwise
    // as soon as the running update has ended, without its alert and with its exit status.
    void RequestQuit();
    // Ctrl-Z (SIGTSTP) during a run, which does not stop it: says so.
    void RefuseStop();
    // The event loop has ended: when a run was still active, waits for it, writes its outcome to
    // standard error and returns its exit status; otherwise returns `status`.
    int FinishActiveRun(int status);

  private:
    bool Identify();
    void StartRun();
    void EndRun();
    // Whether an editing application runs for the user at the Orlo's seat, the user who started
    // this program (sudo, pkexec) or the real user; `thorough`: every process looked at now.
    bool EditorRunning(bool thorough);
    // The same, shown: the warning, and the update button disabled while one runs.
    bool CheckEditor(bool thorough);
    // Puts what identification found into the window's texts: firmware, serial number, the
    // instruction line (unless it tells how a run ended) and the button's title.
    void ShowOrlo();
    // The window's texts no longer say what the last tick found: the next tick makes them again.
    void ShowAnew();
    void DescribeForAssistiveTechnology();
    // Sets the text of the instruction line or the warning; a screen reader announces the new
    // text if the line is shown.
    void Announce(CControl& line, const QString& text);

    CControl _updateButton;
    CControl _cancelButton;
    CControl _currentFirmwareVersionStr;
    CControl _currentSerialNumberStr;
    CControl _finalCutRunningStr;
    CControl _updateFirmwareVersionStr;
    CControl _progressBar;
    OrloFirmwareUpdateType _updateState;
    std::unique_ptr<Brim::PTA::COrloFirmwareUpdate> _pOrlo;
    WindowRef _window;
    fw::FireWireStack& _stack;
    std::string _device;     // the Orlo asked for by name, if one was
    QString _editorWarning;  // the warning's text for an editor this program has no name for
    bool _quitWhenDone = false;
    // The downgrade alert is open: the Orlo it asks about stays the one identified until it is
    // answered, so that the run writes the Orlo whose downgrade was agreed to.
    bool _confirming = false;
    bool _outcomeShown = false;              // the instruction line says how the run ended
    logind::InhibitorLock _inhibitor;        // held while a run is active
    portal::Inhibition _portal;              // held while a run is active
    QSocketNotifier* _busChanges = nullptr;  // the stack's word that the bus changed, if it has any
    const bool _verbose;
    std::string _lastFinding;  // the last identification's diagnostic lines and what it found
    std::string _shown;        // the finding the window's texts show; empty while they show none
    std::optional<NoOrloDiagnosis> _shownWhy;  // why no Orlo, as the texts show it, if they do
    std::stringbuf _heldOut, _heldErr;  // a tick's diagnostic lines, held back (see Identify)
    // Searched on every tick; made once, since making one lists every process.
    TProcess _processes{kMyProcess};
    std::string _orloSeat;                        // the seat of the Orlo shown; empty while none is
    UInt64 _orloSeatGuid = 0;                     // that Orlo's
    std::unique_ptr<logind::SeatUser> _seatUser;  // made when an Orlo is first found
    // The seat's user the editor search's owners were made for; none before the first search.
    std::optional<std::optional<uid_t>> _ownersFor;
};

// What the process does last when it ends because the display went away while an update was at
// stake (after the outcome is written, before it exits): finishing a recording, say. Empty for
// nothing. From the event-loop thread, while no run is active.
void SetLastWords(std::function<void()> lastWords);

// Modal standard alerts. Each returns the index of the button pressed: 1 "OK", 2 "Cancel".
DialogItemIndex ShowDownloadDoneAlert();
DialogItemIndex ShowDowngradeAlert();
DialogItemIndex ShowAboutDialog();
// After a run that did not program both images: what failed, and that the Orlo was not updated.
DialogItemIndex ShowDownloadFailedAlert(const Brim::PTA::UpdateOutcome& outcome);

// Asks the application to quit: the event loop ends unless a window refuses to close.
OSStatus SendQuitRequest();

// WCAG 2's contrast ratio of two colours, 1 to 21; text needs 4.5 for level AA.
double ContrastRatio(const QColor& first, const QColor& second);

// The desktop entry's name without .desktop, which names the icon and the AppStream component too.
inline const QString kDesktopId = QStringLiteral("org.orlofirmwareupdate.ORLOFirmwareUpdate");

// The resource "main", embedded in the program.
inline const QString kMainResource = QStringLiteral(":/ORLOFirmwareUpdate/main.ui");

// Statuses of the start-up steps; small and positive, so each survives as an exit status.
constexpr OSStatus kResourceNotFoundErr = 1;  // the resource cannot be read or parsed
constexpr OSStatus kMenuBarNotFoundErr = 2;   // no menu bar "MenuBar" in the window
constexpr OSStatus kWindowNotFoundErr = 3;    // the resource's window is not "MainWindow"

// Builds the window "MainWindow" and its menu bar "MenuBar" from `resource`, not yet shown.
OSStatus CreateWindowFromResource(const QString& resource, std::unique_ptr<QWidget>& window);

// The body of main: loads the window, creates the dialog over `stack` for the Orlo `device`
// names (see SelectDevice; `verbose` as for the dialog), lets `prepare` adjust the window, shows
// it and runs the event loop. Returns the event loop's exit status (0 after a quit request), or
// the status of the start-up step that failed (nothing is shown then). A QApplication must exist.
int RunFirmwareUpdateWindow(fw::FireWireStack& stack, const QString& resource = kMainResource,
                            const std::function<void(QWidget& window)>& prepare = {},
                            const std::string& device = {}, bool verbose = false);
