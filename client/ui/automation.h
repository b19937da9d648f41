#pragma once
// Automation: drives the client from a script when no one sits at it (the
// demonstration scripts/demo and the end-to-end test). Off unless the
// environment variable VEILNOX_AUTOMATION_SOCKET names a local socket path;
// then the client listens on that path (mode 0600) and answers every line
// it receives with one line:
//
//   state              the window as JSON: "ready" (start-up finished),
//                      "connected" (the proxy data block's flag),
//                      "currentLabel", "speed", "servers" (one object per
//                      row of the server list: "text", "ip", "port",
//                      "connected", "protection": "Encrypted", "Masked",
//                      "Plain" or "Damaged key"), "connectionsHeader" and
//                      "connections" (the rows of the Connections tab:
//                      "process", "send", "recv", "rate", "detail"), "tab",
//                      "changeTimer"
//                      (interval in ms, 0 when stopped), "mode" (the status
//                      line saying which way programs are redirected, empty
//                      where there is none) and "statusMessage" (the status
//                      bar's passing message, such as the capture service's
//                      report of reset connections)
//   connect ROW        clicks the connect button of server row ROW
//   start              clicks the big connect button
//   change INDEX       selects entry INDEX of "Change Every:"
//   changeinterval MS  gives the running rotation timer an interval of MS ms
//                      (the selector offers minutes; tests need seconds)
//   tab INDEX          shows tab INDEX (1 is "Connections")
//   shot PATH          writes a PNG picture of the main window to PATH
//   open WHAT          opens a window of the main window as its button
//                      would: "settings", "addserver", "about", "logs";
//                      answered at once, the window opens right after (a
//                      modal one runs its own event loop, in which the
//                      socket is still served)
//   click NAME         clicks the button of that object name in the front
//                      window (the active modal window, else the main
//                      window), also on a page that is not shown; answered
//                      before the click runs, so a click that opens a modal
//                      window does not hold the answer
//   windows            the visible top-level windows, front first: "title",
//                      "class", "modal", "exposed" (the window system shows
//                      it) and the client area's "x", "y", "w", "h" in
//                      screen pixels
//   shotwindow PATH TITLE  writes a PNG picture of the visible window titled
//                      TITLE (or of that class), as the program paints it
//   dismiss            closes the front modal window as Escape would
//   close              closes the main window as its close box would
//
// Commands other than "state" answer {"ok":true,...state} or
// {"ok":false,"error":TEXT}. Until start-up has finished (the window is
// built, the list loaded and the last connection restored) every command
// but "state" and "close" (once the window exists) is refused with
// "not ready".
//
// While automation is on, message boxes are not shown: each is written to
// standard error as "message box: TITLE: TEXT" and answered OK / Yes, so a
// run without a display never waits for a click. On the offscreen platform
// the application font is set to the 9 point size of desktop sessions, and
// the type's dpi to their 96 unless QT_FONT_DPI says otherwise, so that
// pictures look as they do there.
//
// GUI thread only. Nothing here changes what the client does for a user:
// without the variable InstallAutomation has no effect.

// Called by main() before the application object exists: arranges for the
// automation to start with it when VEILNOX_AUTOMATION_SOCKET is set.
void InstallAutomation();
