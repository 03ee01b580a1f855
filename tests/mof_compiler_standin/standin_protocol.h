#pragma once
// How tests talk to the MOF compiler stand-in, which runs inside whatever
// process activates it: through one key of the current user. The test
// writes the answers below the key; the stand-in records every request as
// subkey "Requests\N" (N = 1, 2, ...).

namespace mof_standin {

constexpr wchar_t kKey[] = L"Software\\FernwickTests\\MofCompilerStandIn";
constexpr wchar_t kRequestsKey[] = L"Software\\FernwickTests\\MofCompilerStandIn\\Requests";

// Answers (DWORD): the class factory's result (0 creates the compiler), the
// compile result and the status record's phase, HRESULT and object number.
constexpr wchar_t kCreateResult[] = L"CreateResult";
constexpr wchar_t kCompileResult[] = L"CompileResult";
constexpr wchar_t kPhase[] = L"Phase";
constexpr wchar_t kStatusResult[] = L"StatusResult";
constexpr wchar_t kObjectNumber[] = L"ObjectNumber";

// Per request: "Method" ("CompileFile" or "CompileBuffer"), "FileName" and
// "FileBytes" (how many bytes the file held, readable by the stand-in) or
// "Buffer" (binary, as passed) and "BufferSize"; "Options", "ClassFlags",
// "InstanceFlags"; "Credentials" (1 when a server, user, authority or
// password was passed).
constexpr wchar_t kMethod[] = L"Method";
constexpr wchar_t kFileName[] = L"FileName";
constexpr wchar_t kFileBytes[] = L"FileBytes";
constexpr wchar_t kBuffer[] = L"Buffer";
constexpr wchar_t kBufferSize[] = L"BufferSize";
constexpr wchar_t kOptions[] = L"Options";
constexpr wchar_t kClassFlags[] = L"ClassFlags";
constexpr wchar_t kInstanceFlags[] = L"InstanceFlags";
constexpr wchar_t kCredentials[] = L"Credentials";

}  // namespace mof_standin
