// KernelIoControl: the control codes the host's kernel answers. The only
// one is the platform question that control-panel applets ask at start
// (0x01012A50, a 4-byte input, a 4-byte answer of 5); tests can change it.
#include "kx_window_test.h"

#include <cstring>
#include <mutex>

#include <pkfuncs.h>
#include <windows.h>

namespace {

const DWORD kPlatformQuestion = 0x01012A50;

std::mutex ioctlLock; // guards the three values below
bool questionSucceeds = true;
DWORD questionAnswer = 5;
int questionCount = 0;

} // namespace

extern "C" BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize,
                                LPVOID lpOutBuf, DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    if (dwIoControlCode != kPlatformQuestion) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    bool succeeds;
    DWORD answer;
    {
        std::lock_guard<std::mutex> guard(ioctlLock);
        ++questionCount;
        succeeds = questionSucceeds;
        answer = questionAnswer;
    }
    if (!lpInBuf || nInBufSize < sizeof(DWORD) || !lpOutBuf || nOutBufSize < sizeof(DWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!succeeds) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    memcpy(lpOutBuf, &answer, sizeof(answer));
    if (lpBytesReturned)
        *lpBytesReturned = sizeof(answer);
    return TRUE;
}

namespace kxtest {

void SetPlatformQuestion(bool succeed, DWORD answer) {
    std::lock_guard<std::mutex> guard(ioctlLock);
    questionSucceeds = succeed;
    questionAnswer = answer;
}

void ResetPlatformQuestion() {
    SetPlatformQuestion(true, 5);
}

int PlatformQuestionCount() {
    std::lock_guard<std::mutex> guard(ioctlLock);
    return questionCount;
}

} // namespace kxtest
