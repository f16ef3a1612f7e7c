#pragma once

// Symbols that the engine library exports by name: the component factories
// and the few free functions that callers outside the engine use.
#if defined(_WIN32)
#  if defined(TARVELIN_BUILDING_ENGINE)
#    define TARVELIN_API __declspec(dllexport)
#  else
#    define TARVELIN_API __declspec(dllimport)
#  endif
#else
#  define TARVELIN_API __attribute__((visibility("default")))
#endif
