#include "plugin/Providers.h"

#include "ac/Ravo3AC.h"
#include "bus/Ravo3.h"
#include "dc/Ravo3DC.h"
#include "rc/Ravo3RC.h"

Ravo3Provider::~Ravo3Provider() = default;
SMDSPDevice* Ravo3Provider::create() const {
    return new Ravo3;
}

Ravo3ACProvider::~Ravo3ACProvider() = default;
SMDSPDevice* Ravo3ACProvider::create() const {
    return new Ravo3AC;
}

Ravo3DCProvider::~Ravo3DCProvider() = default;
SMDSPDevice* Ravo3DCProvider::create() const {
    return new Ravo3DC;
}

Ravo3RCProvider::~Ravo3RCProvider() = default;
SMDSPDevice* Ravo3RCProvider::create() const {
    return new Ravo3RC;
}

extern "C" std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.reserve(4);
    providers.push_back(std::make_shared<Ravo3Provider>());
    providers.push_back(std::make_shared<Ravo3ACProvider>());
    providers.push_back(std::make_shared<Ravo3DCProvider>());
    providers.push_back(std::make_shared<Ravo3RCProvider>());
    return providers;
}
