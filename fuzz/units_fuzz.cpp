// Arbitrary answer bytes into every decoder of the three units, cache blobs
// into their loads, and cycle ends and value queries in between. The first
// byte picks the operation; the rest is the INFO (or the blob). The units
// live through the run so that operations build on one another; their
// history keeps only the newest record of each, so the run does not slow
// down as it goes, and every record is checked against its count.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "ac/Ravo3AC.h"
#include "dc/Ravo3DC.h"
#include "fuzz/FuzzSupport.h"
#include "rc/Ravo3RC.h"

namespace {

struct Parent : SMDSPDevice {
    bool LoadFromCache(const unsigned char*, int) override { return true; }
};

struct World {
    fuzz_support::Checked checked;
    std::shared_ptr<SMDController> controller = checked.controller;
    std::shared_ptr<Parent> parent = std::make_shared<Parent>();
    std::shared_ptr<Ravo3AC> ac = std::make_shared<Ravo3AC>();
    std::shared_ptr<Ravo3DC> dc = std::make_shared<Ravo3DC>("");
    std::shared_ptr<Ravo3RC> rc = std::make_shared<Ravo3RC>();
    World() {
        fuzz_support::silence_stdout();
        parent->Init(controller, 1, Json::Value());
        ac->InitV(parent.get(), 2, Json::Value());
        dc->InitV(parent.get(), 3, Json::Value());
        rc->InitV(parent.get(), 1, Json::Value());
    }
};

void query(const VDeviceInterface& d, const std::string& name) {
    try {
        (void)d.Get_Value(0, name);
    } catch (const std::out_of_range&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World w;
    if (size == 0) return 0;
    const unsigned char op = data[0];
    const unsigned char* buf = data + 1;
    const int len = static_cast<int>(size - 1);
    int r = 0;
    switch (op % 16) {
        case 0:
            r = w.ac->parse40_41(buf, len);
            break;
        case 1:
            r = w.ac->parse40_43(buf, len);
            break;
        case 2:
            r = w.ac->parse40_44(buf, len);
            break;
        case 3:
            r = w.dc->parse42_41(buf, len);
            break;
        case 4:
            r = w.dc->parse42_44(buf, len);
            break;
        case 5:
            r = w.rc->parse41_41(buf, len);
            break;
        case 6:
            r = w.rc->parse41_43(buf, len);
            break;
        case 7:
            r = w.rc->parse41_44(buf, len);
            break;
        case 8:
            r = w.rc->parse40_46(buf, len);
            break;
        case 9:
            r = w.rc->parse42_46(buf, len);
            break;
        case 10:
            w.ac->LoadFromCache(buf, len);
            break;
        case 11:
            w.dc->LoadFromCache(buf, len);
            break;
        case 12:
            w.rc->LoadFromCache(buf, len);
            break;
        case 13:
            w.ac->RoundDone();
            w.dc->RoundDone();
            w.rc->RoundDone();
            break;
        default: {
            const std::string name(reinterpret_cast<const char*>(buf),
                                   static_cast<std::size_t>(len));
            query(*w.ac, name);
            query(*w.dc, name);
            query(*w.rc, name);
            break;
        }
    }
    (void)r;
    return 0;
}
