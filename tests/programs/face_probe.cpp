// Reads the face of an executable the way Windows does, for the end-to-end tests: its icon,
// version resource and manifest, through the Win32 API only, and writes what it saw.
//
//   face-probe EXE OUT KEY...
//
// OUT gets UTF-8 lines:
//   icon N: WxH RRGGBBAA     for N = 16, 32, 48, 256: the image of group 101 that
//                            LookupIconIdFromDirectoryEx picks for N pixels, made into an icon
//                            by CreateIconFromResourceEx, its size and its centre pixel
//   loaded N: WxH            group 101 loaded by LoadImage at N pixels
//   fixed: file A.B.C.D product A.B.C.D mask M flags F os O type T
//   translation LLLL CCCC    each language and code page of VarFileInfo\Translation
//   KEY=VALUE                StringFileInfo\040904B0\KEY, or "KEY missing"
//   run level L ui access U  what the activation context of manifest 1 requests
//   manifest:                followed by the manifest's bytes, as FindResource gives them
// Exit code 0 when every part could be read, 1 otherwise (the file says which failed).
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

const WORD ICON_GROUP = 101;
const int ICON_SIDES[] = {16, 32, 48, 256};

std::string utf8(const wchar_t* text, size_t length) {
    if (length == 0) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, NULL, 0, NULL, NULL);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &out[0], n, NULL, NULL);
    return out;
}

std::wstring wide(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
    out.resize(n - 1);
    return out;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

std::string version(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) + "." +
           std::to_string(LOWORD(low));
}

// Size and centre pixel (RRGGBBAA) of an icon's colour bitmap.
std::string describeIcon(HICON icon) {
    ICONINFO info;
    if (!GetIconInfo(icon, &info)) return "no icon info";
    BITMAP bitmap;
    std::string text = "no bitmap";
    if (info.hbmColor && GetObject(info.hbmColor, sizeof bitmap, &bitmap)) {
        const int w = bitmap.bmWidth, h = bitmap.bmHeight;
        text = std::to_string(w) + "x" + std::to_string(h);
        BITMAPINFO bi;
        ZeroMemory(&bi, sizeof bi);
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;  // top-down
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        std::vector<BYTE> pixels(size_t(w) * h * 4);
        HDC dc = GetDC(NULL);
        if (GetDIBits(dc, info.hbmColor, 0, h, pixels.data(), &bi, DIB_RGB_COLORS) == h) {
            const BYTE* p = &pixels[(size_t(h / 2) * w + w / 2) * 4];
            text += " " + hex(p[2], 2) + hex(p[1], 2) + hex(p[0], 2) + hex(p[3], 2);
        } else {
            text += " unreadable";
        }
        ReleaseDC(NULL, dc);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return text;
}

bool icons(HMODULE module, std::string* report) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(ICON_GROUP), (LPCWSTR)RT_GROUP_ICON);
    if (!found) {
        *report += "no icon group\n";
        return false;
    }
    BYTE* group = (BYTE*)LockResource(LoadResource(module, found));
    bool ok = true;
    for (int side : ICON_SIDES) {
        std::string line = "icon " + std::to_string(side) + ": ";
        int id = LookupIconIdFromDirectoryEx(group, TRUE, side, side, LR_DEFAULTCOLOR);
        HRSRC image = id ? FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_ICON) : NULL;
        HICON icon = image ? CreateIconFromResourceEx((BYTE*)LockResource(LoadResource(module, image)),
                                                      SizeofResource(module, image), TRUE, 0x00030000, 0, 0,
                                                      LR_DEFAULTCOLOR)
                           : NULL;
        if (icon) {
            line += describeIcon(icon);
            DestroyIcon(icon);
        } else {
            line += "cannot be made (image " + std::to_string(id) + ")";
            ok = false;
        }
        *report += line + "\n";
    }
    for (int side : ICON_SIDES) {
        HICON icon = (HICON)LoadImageW(module, MAKEINTRESOURCEW(ICON_GROUP), IMAGE_ICON, side, side, LR_DEFAULTCOLOR);
        std::string line = "loaded " + std::to_string(side) + ": ";
        if (icon) {
            std::string described = describeIcon(icon);
            line += described.substr(0, described.find(' '));
            DestroyIcon(icon);
        } else {
            line += "failed";
            ok = false;
        }
        *report += line + "\n";
    }
    return ok;
}

bool versionInfo(const std::wstring& path, int keyCount, char** keys, std::string* report) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
        *report += "no version resource\n";
        return false;
    }
    bool ok = true;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", (void**)&fixed, &length) && length >= sizeof *fixed) {
        *report += "fixed: file " + version(fixed->dwFileVersionMS, fixed->dwFileVersionLS) + " product " +
                   version(fixed->dwProductVersionMS, fixed->dwProductVersionLS) + " mask " +
                   hex(fixed->dwFileFlagsMask, 1) + " flags " + hex(fixed->dwFileFlags, 1) + " os " +
                   hex(fixed->dwFileOS, 1) + " type " + hex(fixed->dwFileType, 1) + "\n";
    } else {
        *report += "no fixed part\n";
        ok = false;
    }
    WORD* translations = NULL;
    if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", (void**)&translations, &length)) {
        for (UINT i = 0; i + 1 < length / 2; i += 2)
            *report += "translation " + hex(translations[i], 4) + " " + hex(translations[i + 1], 4) + "\n";
    } else {
        *report += "no translation\n";
        ok = false;
    }
    for (int i = 0; i < keyCount; ++i) {
        std::wstring query = L"\\StringFileInfo\\040904B0\\" + wide(keys[i]);
        wchar_t* value = NULL;
        if (VerQueryValueW(data.data(), query.c_str(), (void**)&value, &length) && value) {
            // The length counts characters, with the terminator.
            size_t characters = length;
            while (characters > 0 && value[characters - 1] == 0) --characters;
            *report += std::string(keys[i]) + "=" + utf8(value, characters) + "\n";
        } else {
            *report += std::string(keys[i]) + " missing\n";
        }
    }
    return ok;
}

bool runLevel(const std::wstring& path, std::string* report) {
    ACTCTXW context;
    ZeroMemory(&context, sizeof context);
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE handle = CreateActCtxW(&context);
    if (handle == INVALID_HANDLE_VALUE) {
        *report += "no activation context: " + std::to_string(GetLastError()) + "\n";
        return false;
    }
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level;
    ZeroMemory(&level, sizeof level);
    SIZE_T needed = 0;
    const bool read = QueryActCtxW(0, handle, NULL, RunlevelInformationInActivationContext, &level, sizeof level, &needed);
    ReleaseActCtx(handle);
    if (!read) {
        *report += "no run level: " + std::to_string(GetLastError()) + "\n";
        return false;
    }
    static const char* const names[] = {"unspecified", "asInvoker", "highestAvailable", "requireAdministrator"};
    const unsigned n = level.RunLevel;
    *report += std::string("run level ") + (n < 4 ? names[n] : "?") + " ui access " + std::to_string(level.UiAccess) + "\n";
    return true;
}

bool manifest(HMODULE module, std::string* report) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), (LPCWSTR)RT_MANIFEST);
    if (!found) {
        *report += "no manifest\n";
        return false;
    }
    const char* bytes = (const char*)LockResource(LoadResource(module, found));
    *report += "manifest:\n" + std::string(bytes, SizeofResource(module, found));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: face-probe EXE OUT KEY...\n");
        return 2;
    }
    const std::wstring path = wide(argv[1]);
    std::string report;
    bool ok = false;
    HMODULE module = LoadLibraryExW(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (module) {
        ok = icons(module, &report);
        ok = versionInfo(path, argc - 3, argv + 3, &report) && ok;
        ok = runLevel(path, &report) && ok;
        ok = manifest(module, &report) && ok;
        FreeLibrary(module);
    } else {
        report = "cannot load: " + std::to_string(GetLastError()) + "\n";
    }
    FILE* out = fopen(argv[2], "wb");
    if (!out) return 1;
    fwrite(report.data(), 1, report.size(), out);
    fclose(out);
    return ok ? 0 : 1;
}
