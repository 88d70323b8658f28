#pragma once

// Creates the program's four long-lived objects in start-up order (FormMain, ShareDataModule,
// FormNote, FormSearch) and destroys them in reverse order.
void CreateWindowSet();
void DestroyWindowSet();

// Brings the main window to the front, as it was before it was minimised, with any dialog open over
// it on top; for a second start of the program on the same database.
void BringWindowSetToFront();
