// The record each pass ends with, where fleet tools read each Tarn's state: the service's version
// under HKLM\SOFTWARE\Vantor\Tarn, and one key per Tarn below its Devices key.
#include "service/ServiceHost.h"

#include <array>
#include <chrono>

namespace tarn::service {
namespace {

using eventlog::EventType;
using platform::RegistryKey;

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Vantor\\Tarn";
constexpr wchar_t kDevicesKey[] = L"Devices";
constexpr wchar_t kLastSeen[] = L"LastSeen";
// A serial longer than this once encoded makes no key: a device cannot fill the registry with
// names of any length.
constexpr std::size_t kMaxKeyName = 64;

// The outcomes 1 to 7 in words.
constexpr std::array<const wchar_t*, 7> kOutcomeWords = {
    L"no firmware package", L"listed",     L"detached into DFU mode", L"firmware written",
    L"download failed",     L"up to date", L"general failure"};

// A serial comes from the device. A backslash would make a key outside Devices or a nested one,
// so it is encoded, with '%' (which would make encodings ambiguous) and every character outside
// printable ASCII (controls, and look-alikes of other serials): %XX, or %uXXXX above U+00FF, one
// UTF-16 unit at a time so that both builds give one name. Stops one character past the limit.
std::wstring encodedSerial(std::wstring_view serial) {
    std::wstring name;
    const auto add = [&](std::uint32_t unit) {
        if (unit >= 0x20 && unit < 0x7F && unit != L'\\' && unit != L'%') {
            name += static_cast<wchar_t>(unit);
        } else {
            name += eventlog::formatWide(unit <= 0xFF ? L"%%%02X" : L"%%u%04X", unit);
        }
    };
    for (const wchar_t c : serial) {
        if (name.size() > kMaxKeyName) {
            break;
        }
        // A 32-bit wchar_t: the UTF-16 pair Windows would hold; no character beyond U+10FFFF.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        auto code = static_cast<std::uint32_t>(c);
        if (code > 0x10FFFF) {
            code = 0xFFFD;
        }
        if (code > 0xFFFF) {
            add(0xD800 + ((code - 0x10000) >> 10));
            add(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            add(code);
        }
    }
    return name;
}

// ISO 8601 in UTC to the second: 2026-12-10T12:34:56Z.
std::wstring isoTime(std::chrono::sys_seconds time) {
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{time - day};
    return eventlog::formatWide(L"%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                                static_cast<unsigned>(date.month()),
                                static_cast<unsigned>(date.day()), clock.hours().count(),
                                clock.minutes().count(), clock.seconds().count());
}

// Before a new Tarn key: the keys seen longest ago go until there is room (a key without a
// LastSeen counts as the oldest).
std::uint32_t makeRoom(RegistryKey& devices) {
    auto names = devices.subkeyNames();
    while (names.size() >= upgrade::kMaxRecordedTarns) {
        auto oldest = names.end();
        std::wstring oldestSeen;
        for (auto name = names.begin(); name != names.end(); ++name) {
            const auto key = devices.openSubkey(*name);
            // One format throughout: the text's order is the times' order.
            std::wstring seen = key.key ? key.key->readString(kLastSeen).value_or(L"") : L"";
            if (oldest == names.end() || seen < oldestSeen) {
                oldest = name;
                oldestSeen = std::move(seen);
            }
        }
        if (const std::uint32_t error = devices.deleteSubkey(*oldest)) {
            return error;
        }
        names.erase(oldest);
    }
    return 0;
}

// The first error, or 0.
std::uint32_t writeRecord(HostContext& host, const upgrade::TarnUpgradeProcess& engine,
                          std::int32_t outcome) {
    auto product = host.registry->createKey(kProductKey);
    if (!product.key) {
        return product.error;
    }
    std::uint32_t error = product.key->setString(L"ServiceVersion", host.serviceVersion);
    if (error != 0 || engine.listedTarns.empty()) {
        return error;
    }
    auto devices = product.key->createSubkey(kDevicesKey);
    if (!devices.key) {
        return devices.error;
    }
    const std::wstring now = isoTime(host.engine.clock.utcNow());
    for (const auto& tarn : engine.listedTarns) {
        const std::wstring name = encodedSerial(tarn.sn);
        if (name.empty() || name.size() > kMaxKeyName) {
            host.log.reportEvent(EventType::Warning,
                                 L"Tarn with serial \"%s\" not recorded: a registry key name "
                                 L"takes 1 to 64 characters",
                                 name);
            continue;
        }
        auto key = devices.key->openSubkey(name);
        if (key.error == platform::kRegistryKeyNotFound) {
            if ((error = makeRoom(*devices.key)) != 0) {
                return error;
            }
            key = devices.key->createSubkey(name);
        }
        if (!key.key) {
            return key.error;
        }
        const auto keep = [&](std::uint32_t e) { error = error != 0 ? error : e; };
        keep(key.key->setString(L"FirmwareVersion", tarn.version));
        keep(key.key->setString(L"Mode", tarn.mode == upgrade::kModeDfu ? L"DFU" : L"runtime"));
        keep(key.key->setString(kLastSeen, now));
        // The pass acted on the Tarn whose record it took; when it took none, every Tarn it
        // listed was found up to date, or none was acted on.
        const bool actedOn = engine.updev.sn.empty() ? outcome == upgrade::kOutcomeNoUpgradeNeeded
                                                     : tarn.sn == engine.updev.sn;
        if (actedOn) {
            keep(key.key->setDword(L"LastOutcome", static_cast<std::uint32_t>(outcome)));
            keep(key.key->setString(L"LastOutcomeText", outcome >= 1 && outcome <= 7
                                                            ? kOutcomeWords.at(outcome - 1)
                                                            : L""));
            keep(key.key->setString(L"LastPackage", engine.packageName));
            keep(key.key->setString(L"LastPackageVersion", engine.targetVersion));
            keep(key.key->setString(L"LastOutcomeTime", now));
        }
        if (error != 0) {
            return error;
        }
    }
    return 0;
}

} // namespace

void recordPass(HostContext& host, const upgrade::TarnUpgradeProcess& engine,
                std::int32_t outcome) {
    if (host.registry == nullptr) {
        return;
    }
    if (const std::uint32_t error = writeRecord(host, engine, outcome)) {
        host.log.reportEvent(EventType::Warning, L"registry record not written, error %u", error);
    }
}

} // namespace tarn::service
