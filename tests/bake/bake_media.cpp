#include "bake_media.h"

#include <cmath>
#include <numbers>
#include <sstream>
#include <string_view>

namespace tgtest::bake {

namespace {

std::size_t findColr(const std::vector<std::uint8_t>& bytes, std::size_t from) {
    for (std::size_t i = from; i + 14 <= bytes.size(); ++i)
        if (bytes[i] == 'c' && bytes[i + 1] == 'o' && bytes[i + 2] == 'l' && bytes[i + 3] == 'r' &&
            bytes[i + 4] == 'n' && bytes[i + 5] == 'c' && bytes[i + 6] == 'l')
            return i;
    return std::string::npos;
}

} // namespace

int tagColrP3(const fs::path& file) {
    auto bytes = readBytes(file);
    int count = 0;
    for (auto i = findColr(bytes, 0); i != std::string::npos; i = findColr(bytes, i + 4)) {
        bytes[i + 8] = 0;
        bytes[i + 9] = 12;
        ++count;
    }
    writeBytes(file, bytes);
    return count;
}

bool rotateFirstTrack(const fs::path& file) {
    auto bytes = readBytes(file);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const auto at = text.find("tkhd");
    // type, version and flags, two times, track id, reserved, duration, reserved, layer,
    // group, volume, reserved: then the nine matrix entries (version 0 header).
    const std::size_t matrix = at + 4 + 40;
    if (at == std::string_view::npos || bytes[at + 4] != 0 || matrix + 36 > bytes.size())
        return false;
    const std::int32_t values[9] = {0, 0x10000, 0, -0x10000, 0, 0, 0, 0, 0x40000000};
    for (int i = 0; i < 9; ++i)
        for (int b = 0; b < 4; ++b)
            bytes[matrix + std::size_t(i) * 4 + std::size_t(b)] =
                std::uint8_t(std::uint32_t(values[i]) >> (24 - 8 * b));
    writeBytes(file, bytes);
    return true;
}

int colrPrimaries(const fs::path& file) {
    const auto bytes = readBytes(file);
    const auto i = findColr(bytes, 0);
    return i == std::string::npos ? -1 : bytes[i + 8] << 8 | bytes[i + 9];
}

std::string colrKind(const fs::path& file) {
    const auto bytes = readBytes(file);
    const auto i = findColr(bytes, 0);
    return i == std::string::npos
               ? ""
               : std::string(bytes.begin() + long(i) + 4, bytes.begin() + long(i) + 8);
}

std::string audioPackets(const fs::path& file) {
    auto r = run("ffmpeg -nostdin -hide_banner -loglevel error -i " + sh(file) +
                 " -map 0:a:0 -c copy -f framemd5 -");
    std::istringstream in(r.out);
    std::string line, packets;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // stream, dts, pts, duration, size, hash: keep size and hash.
        auto cut = line.find(',');
        for (int field = 0; field < 3 && cut != std::string::npos; ++field)
            cut = line.find(',', cut + 1);
        packets += (cut == std::string::npos ? line : line.substr(cut + 1)) + "\n";
    }
    return packets;
}

nlohmann::json firstVideoFrame(const fs::path& file) {
    auto r = run("ffprobe -v error -print_format json -select_streams v:0 -show_frames "
                 "-read_intervals %+#1 " +
                 sh(file));
    auto json = nlohmann::json::parse(r.out, nullptr, false);
    if (json.is_discarded() || !json.contains("frames") || json["frames"].empty()) return {};
    return json["frames"][0];
}

std::string pictureTypes(const fs::path& file) {
    auto r = run("ffprobe -v error -select_streams v:0 -show_entries frame=pict_type -of csv=p=0 " +
                 sh(file));
    std::string types;
    for (char c : r.out)
        if (c != '\n' && c != ',') types += c;
    return types;
}

std::vector<nlohmann::json> streamsOf(const nlohmann::json& probed, const std::string& type) {
    std::vector<nlohmann::json> streams;
    if (!probed.contains("streams")) return streams;
    for (const auto& s : probed["streams"])
        if (s.value("codec_type", "") == type) streams.push_back(s);
    return streams;
}

int rotationOf(const nlohmann::json& stream) {
    if (!stream.contains("side_data_list")) return 0;
    for (const auto& side : stream["side_data_list"])
        if (side.contains("rotation")) return side["rotation"].get<int>();
    return 0;
}

std::string majorBrand(const fs::path& file) {
    const auto bytes = readBytes(file);
    if (bytes.size() < 12 || std::string(bytes.begin() + 4, bytes.begin() + 8) != "ftyp") return "";
    return std::string(bytes.begin() + 8, bytes.begin() + 12);
}

double deltaE2000(const Lab& lab1, const Lab& lab2) {
    constexpr double pi = std::numbers::pi;
    auto rad = [](double d) { return d * pi / 180.0; };
    auto deg = [](double r) { return r * 180.0 / pi; };
    const auto [L1, a1, b1] = lab1;
    const auto [L2, a2, b2] = lab2;
    const double C1 = std::hypot(a1, b1), C2 = std::hypot(a2, b2);
    const double Cbar7 = std::pow((C1 + C2) / 2, 7);
    const double G = 0.5 * (1 - std::sqrt(Cbar7 / (Cbar7 + std::pow(25.0, 7))));
    const double a1p = (1 + G) * a1, a2p = (1 + G) * a2;
    const double C1p = std::hypot(a1p, b1), C2p = std::hypot(a2p, b2);
    auto hue = [&](double b, double ap) {
        if (b == 0 && ap == 0) return 0.0;
        double h = deg(std::atan2(b, ap));
        return h < 0 ? h + 360 : h;
    };
    const double h1p = hue(b1, a1p), h2p = hue(b2, a2p);
    const double dLp = L2 - L1, dCp = C2p - C1p;
    double dhp = 0;
    if (C1p * C2p != 0) {
        dhp = h2p - h1p;
        if (dhp > 180) dhp -= 360;
        if (dhp < -180) dhp += 360;
    }
    const double dHp = 2 * std::sqrt(C1p * C2p) * std::sin(rad(dhp / 2));
    const double Lbp = (L1 + L2) / 2, Cbp = (C1p + C2p) / 2;
    double hbp = h1p + h2p;
    if (C1p * C2p != 0) {
        if (std::abs(h1p - h2p) <= 180)
            hbp /= 2;
        else
            hbp = h1p + h2p < 360 ? (hbp + 360) / 2 : (hbp - 360) / 2;
    }
    const double T = 1 - 0.17 * std::cos(rad(hbp - 30)) + 0.24 * std::cos(rad(2 * hbp)) +
                     0.32 * std::cos(rad(3 * hbp + 6)) - 0.20 * std::cos(rad(4 * hbp - 63));
    const double dTheta = 30 * std::exp(-std::pow((hbp - 275) / 25, 2));
    const double Cbp7 = std::pow(Cbp, 7);
    const double Rc = 2 * std::sqrt(Cbp7 / (Cbp7 + std::pow(25.0, 7)));
    const double Sl = 1 + 0.015 * std::pow(Lbp - 50, 2) / std::sqrt(20 + std::pow(Lbp - 50, 2));
    const double Sc = 1 + 0.045 * Cbp;
    const double Sh = 1 + 0.015 * Cbp * T;
    const double Rt = -std::sin(rad(2 * dTheta)) * Rc;
    const double l = dLp / Sl, c = dCp / Sc, h = dHp / Sh;
    return std::sqrt(l * l + c * c + h * h + Rt * c * h);
}

} // namespace tgtest::bake

// libx265 3.5 keeps one block from x265_encoder_open after x265_encoder_close; not ours to free.
// Its frames carry no frame pointers, so the stack ends inside the library: match the module.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
