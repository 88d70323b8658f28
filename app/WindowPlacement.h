#pragma once

class QWidget;

// Centre a top-level window, frame included, over another window (frame included; its screen when
// that is not shown) or on the available area of its screen, keeping it on the screen where it fits.
// Call them from the window's showEvent, once its size is final and before it is mapped.
//
// The window manager puts the frame around a window only once it is mapped, so the frame is taken
// from a window that already has one (the window's parent, else any other visible window); should
// the real frame turn out different, the window is centred again as soon as the window system tells
// it. Without a window manager there is no frame, and the client area is centred.
void CentreWindowOver(QWidget* window, const QWidget* over);
void CentreWindowOnScreen(QWidget* window);
