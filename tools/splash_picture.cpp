#include "tools/splash_picture.h"

#include "provisioning/bundle_contents.h"
#include "ui/fltk/fltk_layout.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <cerrno>
#include <memory>

#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

// Both libraries report errors by longjmp. The decoding functions below keep
// everything that must be released in a state struct owned by their caller,
// and hold no object with a destructor between setjmp and the last library
// call, so that a jump skips nothing.

namespace {

// Whether a picture of that size is beyond what the launcher decodes; told
// by the header alone, before a single row is decoded.
bool hasTooManyPixels(std::uint64_t width, std::uint64_t height)
{
    return width * height > splashPictureMaxPixels;
}

std::string tooManyPixelsText(std::uint64_t width, std::uint64_t height)
{
    return "is " + std::to_string(width) + "x" + std::to_string(height) + " pixels, more than the "
        + std::to_string(splashPictureMaxPixels) + " the download window decodes";
}

// ---- PNG ----

struct PngState {
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_bytep row = nullptr;
    char message[200] = {};
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    bool tooLarge = false;
};

void pngError(png_structp png, png_const_charp message)
{
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp)
{
    // Ancillary-chunk complaints (colour profiles and the like) do not stop
    // the picture from showing.
}

// Reads every row, one at a time, so that the memory needed stays one row.
bool decodePng(PngState* state)
{
    state->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state, pngError, pngWarning);
    if (state->png == nullptr)
        return false;
    state->info = png_create_info_struct(state->png);
    if (state->info == nullptr)
        return false;
    if (setjmp(png_jmpbuf(state->png)) != 0)
        return false;
    png_init_io(state->png, state->file);
    png_read_info(state->png, state->info);
    state->width = png_get_image_width(state->png, state->info);
    state->height = png_get_image_height(state->png, state->info);
    if ((state->tooLarge = hasTooManyPixels(state->width, state->height)))
        return false;
    const int passes = png_set_interlace_handling(state->png);
    png_read_update_info(state->png, state->info);
    state->row = static_cast<png_bytep>(png_malloc(state->png, png_get_rowbytes(state->png, state->info)));
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < state->height; ++y)
            png_read_row(state->png, state->row, nullptr);
    png_read_end(state->png, nullptr);
    return true;
}

bool readPng(std::FILE* file, int& width, int& height, std::string& whyNot)
{
    PngState state;
    state.file = file;
    const bool decoded = decodePng(&state);
    if (state.row != nullptr)
        png_free(state.png, state.row);
    png_destroy_read_struct(state.png != nullptr ? &state.png : nullptr, state.info != nullptr ? &state.info : nullptr,
                            nullptr);
    width = static_cast<int>(state.width);
    height = static_cast<int>(state.height);
    if (state.tooLarge) {
        whyNot = tooManyPixelsText(state.width, state.height);
        return false;
    }
    if (!decoded) {
        whyNot = std::string("is a damaged PNG") + (state.message[0] != '\0' ? std::string(" (") + state.message + ")" : "");
        return false;
    }
    return true;
}

// ---- JPEG ----

struct JpegState {
    jpeg_decompress_struct info {};
    jpeg_error_mgr errors {};
    std::jmp_buf jump {};
    bool created = false;
    bool tooLarge = false;
    char message[JMSG_LENGTH_MAX] = {};
};

void jpegError(j_common_ptr info)
{
    auto* state = reinterpret_cast<JpegState*>(info->client_data);
    (*info->err->format_message)(info, state->message);
    std::longjmp(state->jump, 1);
}

void jpegMessage(j_common_ptr info, int level)
{
    // Warnings (level -1) say the data is damaged, for example cut short,
    // which libjpeg papers over with grey: taken as an error here. Trace
    // messages are dropped.
    if (level < 0 && info->err->num_warnings++ == 0) {
        auto* state = reinterpret_cast<JpegState*>(info->client_data);
        (*info->err->format_message)(info, state->message);
    }
}

bool decodeJpeg(JpegState* state, std::FILE* file)
{
    state->info.err = jpeg_std_error(&state->errors);
    state->errors.error_exit = jpegError;
    state->errors.emit_message = jpegMessage;
    state->info.client_data = state;
    if (setjmp(state->jump) != 0)
        return false;
    jpeg_create_decompress(&state->info);
    state->created = true;
    jpeg_stdio_src(&state->info, file);
    jpeg_read_header(&state->info, TRUE);
    if ((state->tooLarge = hasTooManyPixels(state->info.image_width, state->info.image_height)))
        return false;
    jpeg_start_decompress(&state->info);
    const JDIMENSION rowBytes = state->info.output_width * static_cast<JDIMENSION>(state->info.output_components);
    JSAMPARRAY row = (*state->info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&state->info), JPOOL_IMAGE,
                                                       rowBytes, 1);
    while (state->info.output_scanline < state->info.output_height)
        jpeg_read_scanlines(&state->info, row, 1);
    jpeg_finish_decompress(&state->info);
    return state->errors.num_warnings == 0;
}

bool readJpeg(std::FILE* file, int& width, int& height, std::string& whyNot)
{
    auto state = std::make_unique<JpegState>();
    const bool decoded = decodeJpeg(state.get(), file);
    width = static_cast<int>(state->info.image_width);
    height = static_cast<int>(state->info.image_height);
    if (state->created)
        jpeg_destroy_decompress(&state->info);
    if (state->tooLarge)
        whyNot = tooManyPixelsText(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
    else if (!decoded)
        whyNot = std::string("is a damaged JPEG") + (state->message[0] != '\0' ? std::string(" (") + state->message + ")" : "");
    return decoded;
}

// Proportionally, to fit the picture area.
void scaleAsTheWindowDoes(SplashPicture& picture)
{
    const double scale = std::min(static_cast<double>(windowLayout::splashWidth) / picture.width,
                                  static_cast<double>(windowLayout::splashHeight) / picture.height);
    picture.shownWidth = std::max(1, static_cast<int>(std::lround(picture.width * scale)));
    picture.shownHeight = std::max(1, static_cast<int>(std::lround(picture.height * scale)));
}

} // namespace

std::optional<SplashPicture> inspectSplashPicture(const std::string& path, std::string& whyNot)
{
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        whyNot = "is not a regular file";
        return std::nullopt;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        whyNot = std::string("cannot be read (") + std::strerror(errno) + ")";
        return std::nullopt;
    }
    unsigned char head[4] = {};
    const std::size_t headSize = std::fread(head, 1, sizeof head, file);
    std::rewind(file);
    const bool png = headSize == 4 && std::memcmp(head, "\x89PNG", 4) == 0;
    const bool jpeg = headSize >= 3 && std::memcmp(head, "\xFF\xD8\xFF", 3) == 0;

    SplashPicture picture;
    bool decoded = false;
    if (png) {
        picture.format = "PNG";
        decoded = readPng(file, picture.width, picture.height, whyNot);
    } else if (jpeg) {
        picture.format = "JPEG";
        decoded = readJpeg(file, picture.width, picture.height, whyNot);
    } else {
        whyNot = "is neither a PNG nor a JPEG picture";
    }
    std::fclose(file);
    if (!decoded)
        return std::nullopt;
    if (picture.width <= 0 || picture.height <= 0) {
        whyNot = "has no pixels";
        return std::nullopt;
    }

    scaleAsTheWindowDoes(picture);
    return picture;
}

std::string describeSplashPicture(const SplashPicture& picture)
{
    return std::to_string(picture.width) + "x" + std::to_string(picture.height) + " " + picture.format + ", shown at "
        + std::to_string(picture.shownWidth) + "x" + std::to_string(picture.shownHeight);
}
