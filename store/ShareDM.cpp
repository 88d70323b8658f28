// The shared data module: owns ADOConnection1 and the scratch queries ADOQueryTemp and
// ADOQueryTemp2, all bound to that connection. Creating it opens nothing.
#include "ShareDM.h"

TShareDataModule* ShareDataModule = nullptr;

TShareDataModule::TShareDataModule(std::string databasePath)
    : ADOConnection1(std::move(databasePath)), ADOQueryTemp("ADOQueryTemp", &ADOConnection1),
      ADOQueryTemp2("ADOQueryTemp2", &ADOConnection1) {}
