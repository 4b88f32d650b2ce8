// The descriptor every plugin of ours hands out, checked field by field.
#pragma once

#include "../../harness/plugin_host.h"
#include "../../harness/plugin_library.h"

#include <gtest/gtest.h>

#include <cstring>

// Expects LIBRARY's descriptor D to hold the contract's values for a plugin
// of KIND, NUMBER and NAME, and to come back unchanged from a second call.
inline void expectOurDescriptor(const PluginLibrary& library, const PluginDescriptor* d,
                                int32_t kind, int32_t number, const char* name) {
    const bool provider = kind == PLUGIN_KIND_SUPPLIES_GPS;
    EXPECT_EQ(3000, d->interfaceVersion);
    EXPECT_EQ(-1, d->reserved1);
    EXPECT_EQ(kind, d->kind);
    EXPECT_EQ(number, d->number);
    EXPECT_EQ(name, narrow(d->name));
    EXPECT_EQ("Marvek Ltd.", narrow(d->maker));
    EXPECT_EQ(d->maker, d->makerAgain);
    EXPECT_EQ(0, d->reserved7);
    EXPECT_NE(nullptr, d->init);
    EXPECT_NE(nullptr, d->deInit);
    EXPECT_NE(nullptr, d->start);
    EXPECT_NE(nullptr, d->stop);
    EXPECT_EQ(nullptr, d->unused12);
    EXPECT_EQ(nullptr, d->unused13);
    if (provider)
        EXPECT_NE(nullptr, d->gpsData.getPosition);
    else
        EXPECT_NE(nullptr, d->gpsData.setGPSData);
    EXPECT_EQ(provider, d->getSatellites != nullptr);

    unsigned char before[sizeof(PluginDescriptor)];
    std::memcpy(before, d, sizeof before);
    EXPECT_EQ(d, library.descriptor());
    EXPECT_EQ(0, std::memcmp(before, d, sizeof before));
}
