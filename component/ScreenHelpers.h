#pragma once

class QWidget;

// Routines the windows share. They reach a window's controls by object
// name, so any window with controls of these names can use them; a missing
// control is error 438.

// Selects the whole text of the text box that has the focus; does nothing
// (and never fails) when the focus is elsewhere.
void SelectActiveText();
// Enables the window's fraMedTech frame for a medical technologist and
// disables it for a clerk.
void SetMedTechAccess(QWidget& window);
// Gives the title label lblHeader(0) its layered look: three shifted,
// coloured copies lblHeader(1) to (3). A second call on the same window
// fails with error 360, as the copies exist already.
void ShadeDialogHeader(QWidget& window);
// Enables or disables cmdPrint, cmdVerify and cmdSave together.
void SetActionButtons(QWidget& window, bool enabled);
