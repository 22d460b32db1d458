#pragma once
// The scanners the catalogue's items types create, one factory each (the
// "list" type's TqvItemsList is part of the scan model). A scanner that is
// not built yet is a placeholder that loads and finds nothing, so that the
// catalogue keeps all its groups; each unit that brings a scanner defines its
// factory in place of the placeholder's.

#include "engine/qvClasses.h"

#include <memory>

std::unique_ptr<TqvItems> CreateItemsCLSID(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsInterfaces(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsTypelib(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsUninstall(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsSharedDll(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsMUICache(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsAppPaths(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsMissingFiles(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsInvalidStartup(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsRecycleBin(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsMemory(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsDelayStartup(TqvMain* Owner);
std::unique_ptr<TqvItems> CreateItemsAddOns(TqvMain* Owner);
