#pragma once

// Creates the program's four long-lived objects in start-up order (FormMain, ShareDataModule,
// FormNote, FormSearch) and destroys them in reverse order.
void CreateWindowSet();
void DestroyWindowSet();
