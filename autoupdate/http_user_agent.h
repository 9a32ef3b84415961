#pragma once
// The user agent of every WinHTTP session the update opens, proxy discovery
// included.

inline constexpr wchar_t kHttpUserAgent[] = L"Auto-Update-Service";
