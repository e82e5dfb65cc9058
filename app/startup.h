// The program's start and end around the message loop: the catalogue, the
// application's title, the windows in their order.
#pragma once

// Runs once the application object exists: installs the toolkit's
// translations for the desktop's language, loads the language module (a
// plain box "Load lang DLL FAILED!" when it cannot, before the title is set),
// names the application and its help file, and creates the main window, then
// the About box, then the preview window. Leaves MainForm, AboutBox and
// PreviewForm set; shows nothing else.
void start_up();

// Destroys the windows start_up made, the main window last.
void shut_down();
