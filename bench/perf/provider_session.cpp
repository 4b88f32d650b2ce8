#include "provider_session.h"

GPS_POSITION fullReading(uint32_t sequence) {
    GPS_POSITION p = blankReading(0x0003FFFFu, GPS_FIX_3D); // every GPS_VALID_* bit
    p.stUTCTime.wYear = 2010;
    p.stUTCTime.wMonth = 5;
    p.stUTCTime.wDay = 20;
    p.stUTCTime.wHour = static_cast<uint16_t>(14 + sequence / 3600 % 10);
    p.stUTCTime.wMinute = static_cast<uint16_t>(sequence / 60 % 60);
    p.stUTCTime.wSecond = static_cast<uint16_t>(sequence % 60);
    p.stUTCTime.wMilliseconds = static_cast<uint16_t>(sequence * 7 % 1000);
    p.dblLatitude = 51.25 + sequence * 1e-5;
    p.dblLongitude = -0.5 - sequence * 1e-5;
    p.flSpeed = 3.5f;
    p.flHeading = 271.25f;
    p.flAltitudeWRTSeaLevel = 72.5f;
    p.flAltitudeWRTEllipsoid = 119.5f;
    p.FixQuality = 1;
    p.flPositionDilutionOfPrecision = 1.9f;
    p.flHorizontalDilutionOfPrecision = 1.1f;
    p.flVerticalDilutionOfPrecision = 1.6f;
    p.dwSatelliteCount = GPS_MAX_SATELLITES;
    p.dwSatellitesInView = GPS_MAX_SATELLITES;
    for (uint32_t i = 0; i < GPS_MAX_SATELLITES; ++i) {
        p.rgdwSatellitesInViewPRNs[i] = 2 + i * 2;
        p.rgdwSatellitesUsedPRNs[i] = 2 + (GPS_MAX_SATELLITES - 1 - i) * 2;
        p.rgdwSatellitesInViewElevation[i] = 10 + i * 6;
        p.rgdwSatellitesInViewAzimuth[i] = i * 30;
        p.rgdwSatellitesInViewSignalToNoiseRatio[i] = 30 + i;
    }
    return p;
}

ProviderSession::ProviderSession() : library_(programFolder() + libraryFileName("orvane")) {
    if (!library_.ok()) {
        error_ = "cannot load the provider";
        return;
    }
    if (!driver_.ok()) {
        error_ = "cannot load the simulated driver beside the program";
        return;
    }
    PluginDescriptor* d = library_.descriptor();
    if (d->init(host_.context()) != 1) {
        error_ = "PluginInit failed";
        return;
    }
    if (d->start() != 1) {
        error_ = "PluginStart failed";
        d->deInit();
        return;
    }
    started_ = true;
    plugin_ = d;
}

ProviderSession::~ProviderSession() {
    if (started_)
        plugin_->deInit();
}
