#pragma once
// The scalar types of the Windows automation headers, with the sizes they have there.
// Component code spells its signatures with these names so that it compiles unchanged
// against the real SDK; on Linux OLECHAR is wchar_t (four bytes), which is the one
// deliberate difference from Windows.
//
// Types only; nothing here has state.
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using SHORT = std::int16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
// Macros, as the SDK has them, so that other C headers that guard their own
// definitions agree with these.
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LCID = DWORD;
using SCODE = LONG;
using LPVOID = void*;

using OLECHAR = wchar_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// Interface methods use the platform's default calling convention on Linux.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
