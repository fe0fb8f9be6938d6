#include "headers/hook_HookHeaders.h"

// Out of line so that the interfaces' vtables and type information live in this library only.
COutputHookHeaders::~COutputHookHeaders() = default;
CInputHookHeaders::~CInputHookHeaders() = default;
