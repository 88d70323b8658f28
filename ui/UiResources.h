#pragma once

// Registers the windows' pictures (ui/resources.qrc). They live in the static ui library, which a
// program links without any reference that would register them; every window that shows a picture
// calls this first. Calls after the first do nothing.
void LoadUiResources();
