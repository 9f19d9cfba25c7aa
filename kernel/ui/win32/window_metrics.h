// The font of the presenter's windows on Windows and text widths in its dialog units, shared
// by the boxes and the prompt pages so that both measure alike.
#pragma once

#include "platform/win32.h"

// The message font of the system (null when the system gives none).
HFONT fxp_window_font();
// Width of a text in dialog units of that font, rounded up so that the text fits.
int fxp_window_text_width(const char *text);
