// The window's dark skin: colours, sizes and the CJK font with its fallbacks.
#pragma once

class QWidget;

// Sets the font and the style sheet on the top-level window; its controls
// inherit both.
void ApplySkin(QWidget* window);
