// Built only into the thread-sanitizer build. Qt is not built with the sanitizer, so what its
// blocking primitives do happens where the sanitizer cannot see it, and it reports every pair
// of accesses the program orders through them (a QMutex, a QSemaphore, a wait condition, joining
// a pool or a future, a call queued to another thread) as a race. The definitions below take the
// place of Qt's for the program's own calls: each calls Qt's own function and tells the sanitizer
// the order it made. Qt's calls among its own functions are not affected.
#include <QCoreApplication>
#include <QFutureInterfaceBase>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QReadWriteLock>
#include <QRunnable>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QVector>
#include <QWaitCondition>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

template <typename Function>
Function qtOwn(const char* symbol)
{
    void* address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "thread-sanitizer build: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

// A wait that succeeded comes after everything released on `key` before it.
bool acquiredIf(bool succeeded, const void* key)
{
    if (succeeded)
        __tsan_acquire(const_cast<void*>(key));
    return succeeded;
}

// Runs a task handed to a pool: it starts after what its starter did before handing it over,
// and its end is marked on the pool before the pool counts it done.
class MarkedRunnable : public QRunnable {
public:
    MarkedRunnable(QRunnable* task, QThreadPool* pool) : m_task(task), m_owns(task->autoDelete()), m_pool(pool)
    {
        __tsan_release(this);
    }
    ~MarkedRunnable() override
    {
        if (m_owns)
            delete m_task;
    }
    void run() override
    {
        __tsan_acquire(this);
        m_task->run();
        __tsan_release(m_pool);
    }
    // The task could not be started: it stays its caller's.
    void disown() { m_owns = false; }

private:
    QRunnable* m_task;
    bool m_owns;
    QThreadPool* m_pool;
};

// A call or an event posted to an object is taken by the thread the object lives in, under the
// lock of that thread's event queue: posting releases the thread, and the thread acquires itself
// before it handles an event. Qt copies a queued call's arguments while it posts: the release is
// made again once it has.
template <typename Post>
auto posting(QObject* receiver, Post post)
{
    QThread* const thread = receiver ? receiver->thread() : nullptr;
    if (thread)
        __tsan_release(thread);
    const auto result = post();
    if (thread)
        __tsan_release(thread);
    return result;
}

bool handling(void**)
{
    __tsan_acquire(QThread::currentThread());
    return false;   // the event is handled as usual
}

const bool kHandlingHooked = QInternal::registerCallback(QInternal::EventNotifyCallback, handling);

// Qt unlocks the lock inside the wait and locks it again before it returns, whether or not the
// condition was woken.
template <typename Lock, typename Until>
bool waitOn(QWaitCondition* condition, Lock* lock, Until until, bool (*own)(QWaitCondition*, Lock*, Until))
{
    __tsan_release(lock);
    const bool woken = own(condition, lock, until);
    acquiredIf(true, lock);
    return woken;
}

using InvokeByName = bool (*)(QObject*, const char*, Qt::ConnectionType, QGenericReturnArgument, QGenericArgument,
                              QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                              QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument);

InvokeByName invokeByName()
{
    static const auto own = qtOwn<InvokeByName>(
        "_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGenericReturnArgument16QGenericArgumentS7_"
        "S7_S7_S7_S7_S7_S7_S7_S7_");
    return own;
}

// The arguments of a call queued by name, copied by the caller's thread before it posts.
class QueuedArguments {
public:
    // False when a type is not registered: Qt then does the call (and says why it cannot).
    bool take(const QGenericArgument* arguments, int count)
    {
        for (int i = 0; i < count && arguments[i].name(); ++i) {
            const int type = QMetaType::type(arguments[i].name());
            if (type == QMetaType::UnknownType)
                return false;
            m_names.append(arguments[i].name());
            m_types.append(type);
            m_values.append(QMetaType::create(type, arguments[i].data()));
        }
        return true;
    }
    ~QueuedArguments()
    {
        for (int i = 0; i < m_values.size(); ++i)
            QMetaType::destroy(m_types.at(i), m_values.at(i));
    }
    QByteArray signature(const char* member) const
    {
        return QMetaObject::normalizedSignature(QByteArray(member) + '(' + m_names.join(',') + ')');
    }
    QGenericArgument at(int i) const
    {
        return i < m_values.size() ? QGenericArgument(m_names.at(i).constData(), m_values.at(i)) : QGenericArgument();
    }

private:
    QList<QByteArray> m_names;
    QVector<int> m_types;
    QVector<void*> m_values;
};

}  // namespace

bool QMetaObject::invokeMethod(QObject* object, const char* member, Qt::ConnectionType type,
                               QGenericReturnArgument ret, QGenericArgument val0, QGenericArgument val1,
                               QGenericArgument val2, QGenericArgument val3, QGenericArgument val4,
                               QGenericArgument val5, QGenericArgument val6, QGenericArgument val7,
                               QGenericArgument val8, QGenericArgument val9)
{
    const auto byQt = [&] {
        return posting(object, [&] {
            return invokeByName()(object, member, type, ret, val0, val1, val2, val3, val4, val5, val6, val7, val8,
                                  val9);
        });
    };
    const bool queued = object && member && !ret.data()
                        && (type == Qt::QueuedConnection
                            || (type == Qt::AutoConnection && object->thread() != QThread::currentThread()));
    if (!queued)
        return byQt();
    // Qt would copy the arguments after the release, while it posts: they are copied here, before
    // it, and the call is made directly once the object's thread has the event.
    const QGenericArgument arguments[] = {val0, val1, val2, val3, val4, val5, val6, val7, val8, val9};
    auto copies = std::make_shared<QueuedArguments>();
    if (!copies->take(arguments, 10) || object->metaObject()->indexOfMethod(copies->signature(member)) < 0)
        return byQt();
    const QByteArray name(member);
    return QMetaObject::invokeMethod(
        object,
        [object, name, copies] {
            invokeByName()(object, name.constData(), Qt::DirectConnection, QGenericReturnArgument(), copies->at(0),
                           copies->at(1), copies->at(2), copies->at(3), copies->at(4), copies->at(5), copies->at(6),
                           copies->at(7), copies->at(8), copies->at(9));
        },
        Qt::QueuedConnection);
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type,
                                   void* ret)
{
    using Own = bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*);
    static const auto own =
        qtOwn<Own>("_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    return posting(object, [&] { return own(object, slot, type, ret); });
}

void QCoreApplication::postEvent(QObject* receiver, QEvent* event, int priority)
{
    static const auto own = qtOwn<void (*)(QObject*, QEvent*, int)>("_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    posting(receiver, [&] {
        own(receiver, event, priority);
        return true;
    });
}

void QObject::deleteLater()
{
    static const auto own = qtOwn<void (*)(QObject*)>("_ZN7QObject11deleteLaterEv");
    posting(this, [this] {
        own(this);
        return true;
    });
}

int QThreadPool::activeThreadCount() const
{
    static const auto own = qtOwn<int (*)(const QThreadPool*)>("_ZNK11QThreadPool17activeThreadCountEv");
    const int count = own(this);
    // Read under the pool's lock: what the tasks that have ended did comes before.
    acquiredIf(true, this);
    return count;
}

void QMutex::lock()
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    own(this);
    acquiredIf(true, this);
}

bool QMutex::tryLock(int timeout)
{
    static const auto own = qtOwn<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    return acquiredIf(own(this, timeout), this);
}

void QMutex::unlock() noexcept
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

void QReadWriteLock::lockForRead()
{
    static const auto own = qtOwn<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock11lockForReadEv");
    own(this);
    acquiredIf(true, this);
}

bool QReadWriteLock::tryLockForRead()
{
    return tryLockForRead(0);
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    static const auto own = qtOwn<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock14tryLockForReadEi");
    return acquiredIf(own(this, timeout), this);
}

void QReadWriteLock::lockForWrite()
{
    static const auto own = qtOwn<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock12lockForWriteEv");
    own(this);
    acquiredIf(true, this);
}

bool QReadWriteLock::tryLockForWrite()
{
    return tryLockForWrite(0);
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    static const auto own = qtOwn<bool (*)(QReadWriteLock*, int)>("_ZN14QReadWriteLock15tryLockForWriteEi");
    return acquiredIf(own(this, timeout), this);
}

void QReadWriteLock::unlock()
{
    static const auto own = qtOwn<void (*)(QReadWriteLock*)>("_ZN14QReadWriteLock6unlockEv");
    __tsan_release(this);
    own(this);
}

void QSemaphore::acquire(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7acquireEi");
    own(this, n);
    acquiredIf(true, this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto own = qtOwn<bool (*)(QSemaphore*, int)>("_ZN10QSemaphore10tryAcquireEi");
    return acquiredIf(own(this, n), this);
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto own = qtOwn<bool (*)(QSemaphore*, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    return acquiredIf(own(this, n, timeout), this);
}

void QSemaphore::release(int n)
{
    static const auto own = qtOwn<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    own(this, n);
}

bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    return waitOn(this, lockedMutex, deadline, own);
}

bool QWaitCondition::wait(QMutex* lockedMutex, unsigned long time)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QMutex*, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    return waitOn(this, lockedMutex, time, own);
}

bool QWaitCondition::wait(QReadWriteLock* lockedReadWriteLock, QDeadlineTimer deadline)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QReadWriteLock*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLock14QDeadlineTimer");
    return waitOn(this, lockedReadWriteLock, deadline, own);
}

bool QWaitCondition::wait(QReadWriteLock* lockedReadWriteLock, unsigned long time)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QReadWriteLock*, unsigned long)>(
        "_ZN14QWaitCondition4waitEP14QReadWriteLockm");
    return waitOn(this, lockedReadWriteLock, time, own);
}

void QThreadPool::start(QRunnable* runnable, int priority)
{
    static const auto own = qtOwn<void (*)(QThreadPool*, QRunnable*, int)>("_ZN11QThreadPool5startEP9QRunnablei");
    own(this, runnable ? new MarkedRunnable(runnable, this) : nullptr, priority);
}

bool QThreadPool::tryStart(QRunnable* runnable)
{
    static const auto own = qtOwn<bool (*)(QThreadPool*, QRunnable*)>("_ZN11QThreadPool8tryStartEP9QRunnable");
    if (!runnable)
        return false;
    auto* wrapper = new MarkedRunnable(runnable, this);
    if (own(this, wrapper))
        return true;
    wrapper->disown();
    delete wrapper;
    return false;
}

// As Qt does it: the function becomes a task of its own.
void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    if (!functionToRun)
        return;
    start(QRunnable::create(std::move(functionToRun)), priority);
}

bool QThreadPool::tryStart(std::function<void()> functionToRun)
{
    if (!functionToRun)
        return false;
    QRunnable* task = QRunnable::create(std::move(functionToRun));
    if (tryStart(task))
        return true;
    delete task;
    return false;
}

bool QThreadPool::waitForDone(int msecs)
{
    static const auto own = qtOwn<bool (*)(QThreadPool*, int)>("_ZN11QThreadPool11waitForDoneEi");
    return acquiredIf(own(this, msecs), this);
}

void QFutureInterfaceBase::reportFinished()
{
    static const auto own = qtOwn<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase14reportFinishedEv");
    __tsan_release(d);
    own(this);
}

void QFutureInterfaceBase::waitForFinished()
{
    static const auto own = qtOwn<void (*)(QFutureInterfaceBase*)>("_ZN20QFutureInterfaceBase15waitForFinishedEv");
    own(this);
    acquiredIf(true, d);
}

void QFutureInterfaceBase::waitForResult(int resultIndex)
{
    static const auto own = qtOwn<void (*)(QFutureInterfaceBase*, int)>("_ZN20QFutureInterfaceBase13waitForResultEi");
    own(this, resultIndex);
    acquiredIf(true, d);
}
