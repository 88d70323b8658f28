#pragma once

#include <QString>

// Creates the program's four long-lived objects in start-up order (FormMain, ShareDataModule,
// FormNote, FormSearch) and destroys them in reverse order. The connection is to database, the
// one start-up chose (and locked, for a file); without it, to the one ChosenDatabase chooses now.
void CreateWindowSet(const QString& database = QString());
void DestroyWindowSet();

// Brings the main window to the front, as it was before it was minimised, with any dialog open over
// it on top; for a second start of the program on the same database.
void BringWindowSetToFront();
