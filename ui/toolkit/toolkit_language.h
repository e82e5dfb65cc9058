// The toolkit's own texts in the user's language: the open dialog, the
// boxes' captions and buttons, the log pane's context menu. Qt translates
// its widgets with the translations it ships; the box captions are ours.
#pragma once

#include <string>

// Installs the translations for `language` ("de"), replacing those installed
// before; English stays where a language, or a text, has no translation.
void translate_toolkit(const std::string& language);
