#include "audio/output_format.h"

#include "messages.h"

#include <sndfile.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace kelvo {

namespace {

constexpr char msg_unknown_format[] = "unknown output format '%s' (known: %s)";
constexpr char msg_invalid_bits[] = "invalid bit depth '%s' (8, 16, 24, 32, float or double)";
constexpr char msg_no_depth[] = "the %s format has no bit depth to choose: leave out --bits";
constexpr char msg_depth_not_held[] = "the %s format cannot hold %s samples";
constexpr char msg_no_quality[] =
    "the %s format has no quality to choose: leave out --quality";
constexpr char msg_quality_not_set[] = "could not set the quality of the output: %s";
constexpr char msg_misleading_name[] =
    "'%s' is written in the %s format, whatever its name says; --format chooses another";

// A format --format names: its usual file extension, a title for messages, libsndfile's
// major format, and either its codec (no depth to choose) or its usual depth.
struct format_entry {
    const char* name;
    const char* title;
    int major;
    int codec;
    int usual;
};

constexpr std::array<format_entry, 10> formats{{
    {"wav", "WAV", SF_FORMAT_WAV, 0, SF_FORMAT_PCM_16},
    {"w64", "W64", SF_FORMAT_W64, 0, SF_FORMAT_PCM_16},
    {"rf64", "RF64", SF_FORMAT_RF64, 0, SF_FORMAT_PCM_16},
    {"aiff", "AIFF", SF_FORMAT_AIFF, 0, SF_FORMAT_PCM_16},
    {"caf", "CAF", SF_FORMAT_CAF, 0, SF_FORMAT_PCM_16},
    {"au", "AU", SF_FORMAT_AU, 0, SF_FORMAT_PCM_16},
    {"flac", "FLAC", SF_FORMAT_FLAC, 0, SF_FORMAT_PCM_24},
    {"ogg", "Ogg Vorbis", SF_FORMAT_OGG, SF_FORMAT_VORBIS, 0},
    {"opus", "Ogg Opus", SF_FORMAT_OGG, SF_FORMAT_OPUS, 0},
    {"mp3", "MP3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III, 0},
}};

// Other extensions that name one of the formats.
constexpr std::array<std::array<const char*, 2>, 3> aliases{{
    {"aif", "aiff"},
    {"aifc", "aiff"},
    {"oga", "ogg"},
}};

// A --bits depth and the encodings that give it, the first one this format can hold wins.
struct depth_entry {
    const char* name;
    const char* title;
    std::array<int, 2> subtypes;
};

constexpr std::array<depth_entry, 6> depths{{
    {"8", "8-bit", {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8}},
    {"16", "16-bit", {SF_FORMAT_PCM_16, SF_FORMAT_PCM_16}},
    {"24", "24-bit", {SF_FORMAT_PCM_24, SF_FORMAT_PCM_24}},
    {"32", "32-bit", {SF_FORMAT_PCM_32, SF_FORMAT_PCM_32}},
    {"float", "float", {SF_FORMAT_FLOAT, SF_FORMAT_FLOAT}},
    {"double", "double", {SF_FORMAT_DOUBLE, SF_FORMAT_DOUBLE}},
}};

bool writable(int format, int channels = 1, int sample_rate = 48000) {
    SF_INFO info{};
    info.format = format;
    info.channels = channels;
    info.samplerate = sample_rate;
    return sf_format_check(&info) != 0;
}

int first_format(const format_entry& f) { return f.major | (f.codec ? f.codec : f.usual); }

// The format called `name`, if this libsndfile writes it.
const format_entry* find_format(const char* name) {
    for (const auto& [alias, real] : aliases) {
        if (strcasecmp(name, alias) == 0)
            name = real;
    }
    for (const format_entry& f : formats) {
        if (strcasecmp(name, f.name) == 0 && writable(first_format(f)))
            return &f;
    }
    return nullptr;
}

const format_entry* format_of(int format) {
    for (const format_entry& f : formats) {
        if ((format & SF_FORMAT_TYPEMASK) == f.major &&
            (!f.codec || (format & SF_FORMAT_SUBMASK) == f.codec))
            return &f;
    }
    return nullptr;
}

const depth_entry* find_depth(const char* name) {
    for (const depth_entry& d : depths) {
        if (strcasecmp(name, d.name) == 0)
            return &d;
    }
    return nullptr;
}

// The encoding of `depth` in the major format `major`, or 0 when it cannot hold it.
int subtype_for(const depth_entry& depth, int major, int channels, int sample_rate) {
    for (const int subtype : depth.subtypes) {
        if (writable(major | subtype, channels, sample_rate))
            return subtype;
    }
    return 0;
}

// The title of a major format for messages: the table's, else libsndfile's own name.
std::string title_of(int format) {
    if (const format_entry* f = format_of(format))
        return f->title;
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    return sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name
               ? info.name
               : "input's";
}

}  // namespace

bool check_format_request(const format_request& request) {
    const format_entry* format = nullptr;
    if (request.format && !(format = find_format(request.format))) {
        std::string known;
        for (const format_entry& f : formats) {
            if (writable(first_format(f)))
                known += (known.empty() ? "" : ", ") + std::string{f.name};
        }
        error(msg_unknown_format, request.format, known.c_str());
        return false;
    }
    if (request.quality && format && !format->codec) {
        error(msg_no_quality, format->title);
        return false;
    }
    if (!request.bits)
        return true;
    const depth_entry* depth = find_depth(request.bits);
    if (!depth) {
        error(msg_invalid_bits, request.bits);
        return false;
    }
    if (format && format->codec) {
        error(msg_no_depth, format->title);
        return false;
    }
    if (format && !subtype_for(*depth, format->major, 1, 48000)) {
        error(msg_depth_not_held, format->title, depth->title);
        return false;
    }
    return true;
}

std::optional<int> choose_output_format(const format_request& request, int input_format,
                                        int channels, int sample_rate) {
    const int input_subtype = input_format & SF_FORMAT_SUBMASK;
    const format_entry* chosen = request.format ? find_format(request.format) : nullptr;
    if (request.quality && !(chosen ? chosen->codec : has_quality(input_format))) {
        error(msg_no_quality, title_of(chosen ? chosen->major : input_format).c_str());
        return std::nullopt;
    }
    if (!request.format && !request.bits)
        return input_format;
    // A new major format comes in its own byte order; the input's is kept with its format.
    const int major = chosen ? chosen->major : input_format & SF_FORMAT_TYPEMASK;
    const int endian = chosen ? 0 : input_format & SF_FORMAT_ENDMASK;
    if (chosen && chosen->codec)
        return major | chosen->codec;
    if (request.bits) {
        const depth_entry& depth = *find_depth(request.bits);
        const int subtype = subtype_for(depth, major, channels, sample_rate);
        if (!subtype) {
            error(msg_depth_not_held, title_of(major).c_str(), depth.title);
            return std::nullopt;
        }
        return major | subtype | endian;
    }
    if (writable(major | input_subtype, channels, sample_rate))
        return major | input_subtype;
    return major | chosen->usual;
}

bool has_quality(int format) {
    const int codec = format & SF_FORMAT_SUBMASK;
    return codec == SF_FORMAT_VORBIS || codec == SF_FORMAT_OPUS ||
           codec == SF_FORMAT_MPEG_LAYER_III;
}

bool set_quality(SNDFILE* output, int format, double quality) {
    if (!has_quality(format))
        return true;
    const int codec = format & SF_FORMAT_SUBMASK;
    // Vorbis knows no other mode than a variable rate. The others take it, but libsndfile
    // 1.2 answers 0 whether or not it did, so the answer is not read.
    if (codec != SF_FORMAT_VORBIS) {
        int mode = SF_BITRATE_MODE_VARIABLE;
        sf_command(output, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    }
    double level = 1 - quality / max_quality;
    // The MP3 encoder's variable quality stops short of the last level.
    if (codec == SF_FORMAT_MPEG_LAYER_III)
        level = std::min(level, 0.999);
    if (sf_command(output, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level) != SF_TRUE) {
        error(msg_quality_not_set, sf_strerror(output));
        return false;
    }
    return true;
}

void warn_about_misleading_name(const char* path, int format) {
    const char* const slash = std::strrchr(path, '/');
    const char* const dot = std::strrchr(slash ? slash + 1 : path, '.');
    if (!dot)
        return;
    const format_entry* named = find_format(dot + 1);
    if (named && named != format_of(format))
        warning(msg_misleading_name, path, title_of(format).c_str());
}

}  // namespace kelvo
