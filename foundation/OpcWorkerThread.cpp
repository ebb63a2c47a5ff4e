#include "OpcWorkerThread.h"

#include <memory>
#include <new>

// --- thread names --------------------------------------------------------------

namespace
{
typedef HRESULT(WINAPI* SetThreadDescriptionProc)(HANDLE thread, PCWSTR description);

// Looked up at run time: older systems and some emulators lack the function.
SetThreadDescriptionProc FindSetThreadDescription() noexcept
{
    const wchar_t* modules[] = {L"kernel32.dll", L"kernelbase.dll"};
    for (const wchar_t* name : modules)
    {
        HMODULE module = GetModuleHandleW(name);
        if (module == nullptr)
            continue;
        FARPROC proc = GetProcAddress(module, "SetThreadDescription");
        if (proc != nullptr)
            return reinterpret_cast<SetThreadDescriptionProc>(reinterpret_cast<void*>(proc));
    }
    return nullptr;
}
} // namespace

void NameCurrentThread(OpcThreadRole role) noexcept
{
    static const SetThreadDescriptionProc setDescription = FindSetThreadDescription();
    if (setDescription != nullptr)
        setDescription(GetCurrentThread(), ThreadRoleName(role));
}

// --- worker thread -------------------------------------------------------------

// What the new thread needs, owned by the thread itself. The thread never
// touches the COpcWorkerThread: after a Stop that timed out the object may be
// reset, restarted or gone while the old thread is still finishing.
struct COpcWorkerThread::Launch
{
    OpcThreadBody body;
    void* data;
    COpcHandle event; // the thread's own duplicate of the start/end event
    OpcThreadRole role;
};

COpcWorkerThread::COpcWorkerThread() noexcept : m_threadId(0), m_stopRequested(false), m_body(nullptr), m_data(nullptr)
{
}

COpcWorkerThread::~COpcWorkerThread()
{
    Stop(INFINITE);
}

DWORD WINAPI COpcWorkerThread::ThreadMain(void* param) noexcept
{
    std::unique_ptr<Launch> launch(static_cast<Launch*>(param));

    // Make the message queue before reporting the start, so nothing posted
    // after Start() returns is lost.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    NameCurrentThread(launch->role);
    SetEvent(launch->event.Get());

    launch->body(launch->data, false);

    SetEvent(launch->event.Get());
    return 0;
}

bool COpcWorkerThread::IsRunning() const noexcept
{
    return m_thread.IsValid() && WaitForSingleObject(m_thread.Get(), 0) == WAIT_TIMEOUT;
}

bool COpcWorkerThread::Start(OpcThreadBody body, void* data, DWORD startWaitMs, int priority, OpcThreadRole role)
{
    // Checked before anything is stored, so a refused Start leaves a running
    // worker's body and data alone.
    if (body == nullptr || IsRunning())
        return false;
    // A thread whose body has returned on its own is finished with; forget it.
    Reset();

    COpcHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return false;

    std::unique_ptr<Launch> launch(new (std::nothrow) Launch{body, data, COpcHandle(), role});
    if (!launch)
        return false;
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event.Get(), GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    launch->event.Reset(duplicate);

    // Suspended, so the fields are complete before the body can look at them.
    DWORD threadId = 0;
    COpcHandle thread(CreateThread(nullptr, 0, ThreadMain, launch.get(), CREATE_SUSPENDED, &threadId));
    if (!thread)
        return false;
    launch.release(); // the thread owns it now

    m_body = body;
    m_data = data;
    m_stopRequested = false;
    m_event = std::move(event);
    m_thread = std::move(thread);
    m_threadId = threadId;
    SetThreadPriority(m_thread.Get(), priority);
    ResumeThread(m_thread.Get());

    if (WaitForSingleObject(m_event.Get(), startWaitMs) != WAIT_OBJECT_0)
        return false;
    ResetEvent(m_event.Get());
    return true;
}

void COpcWorkerThread::Stop(DWORD waitMs)
{
    if (m_threadId.load() != GetCurrentThreadId() && IsRunning())
    {
        m_stopRequested = true;
        PostThreadMessageW(m_threadId.load(), StopMessage, 0, 0);
        m_body(nullptr, true);
        // The thread handle rather than the event: it signals exactly once, at
        // the very end, so no reset of the event can hide the end from us.
        if (WaitForSingleObject(m_thread.Get(), waitMs) != WAIT_OBJECT_0)
        {
            // Let go of a thread that did not end in time, but keep telling it
            // to stop: clearing the flag would leave it running for good.
            Reset();
            m_stopRequested = true;
            return;
        }
    }
    Reset();
}

void COpcWorkerThread::Reset() noexcept
{
    m_thread.Close();
    m_event.Close();
    m_threadId = 0;
    m_body = nullptr;
    m_data = nullptr;
    m_stopRequested = false;
}

bool COpcWorkerThread::Post(UINT message, WPARAM wParam, LPARAM lParam) const noexcept
{
    DWORD threadId = m_threadId.load();
    return threadId != 0 && PostThreadMessageW(threadId, message, wParam, lParam) != FALSE;
}
