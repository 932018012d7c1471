// Scope guards: YGuard and YUnGuard hold or give up a waitable object for a scope,
// YReadGuard and YReadUnGuard do the same for the read side of a YReadWriteSection.
#pragma once

#include <davro/Export.h>

class YSyncObject;
class YReadWriteSection;

// Acquires an object for the length of a scope.
//
// The constructor calls the object's virtual lock(INFINITE) (so a section is entered, a
// YReadWriteSection in write mode) and the destructor its virtual unlock(), exactly once
// each, whatever lock()/unlock() calls came between; the guard keeps no count, so pair
// each unlock() with a later lock() before the guard ends. A null pointer makes a guard
// that does nothing. The guard owns nothing: the object must outlive it. Results of the
// acquire and release in the constructor and destructor are not looked at.
//
// Guards cannot be copied: a copy would release its object a second time when it ends.
// A guard serves one thread's scope; two threads never share one.
class DAVRO_API YGuard {
public:
    explicit YGuard(YSyncObject& target);
    explicit YGuard(YSyncObject* target);
    YGuard(const YGuard&) = delete;
    YGuard& operator=(const YGuard&) = delete;
    virtual ~YGuard();

    // Acquires the object again: its lock(INFINITE) result (0 acquired); -1 for null.
    int lock();
    // Releases the object early: its unlock() result; 0 for null.
    int unlock();

protected:
    friend class YUnGuard;
    YSyncObject* object;
};

// Gives up an object for the length of a scope, typically inside a YGuard's scope over
// it: the constructor calls unlock(), the destructor lock(INFINITE). lock() takes the
// object back early and unlock() gives it up again. Made from a guard, it acts on that
// guard's object; made from a null pointer, or from a guard over none, it does nothing.
// Not copyable; owns nothing.
class DAVRO_API YUnGuard {
public:
    explicit YUnGuard(YGuard& guard);
    explicit YUnGuard(YSyncObject& target);
    explicit YUnGuard(YGuard* guard);
    explicit YUnGuard(YSyncObject* target);
    YUnGuard(const YUnGuard&) = delete;
    YUnGuard& operator=(const YUnGuard&) = delete;
    virtual ~YUnGuard();

    // The object's lock(INFINITE) result; -1 for null.
    int lock();
    // The object's unlock() result; 0 for null.
    int unlock();

protected:
    YSyncObject* object;
};

// Holds the read side of a YReadWriteSection for the length of a scope:
// enterSectionRead() in the constructor, leaveSectionRead() in the destructor, exactly
// once each. A null pointer makes a guard that does nothing. Not copyable; owns nothing.
class DAVRO_API YReadGuard {
public:
    explicit YReadGuard(YReadWriteSection& target);
    explicit YReadGuard(YReadWriteSection* target);
    YReadGuard(const YReadGuard&) = delete;
    YReadGuard& operator=(const YReadGuard&) = delete;
    virtual ~YReadGuard();

    // Enters the read side again and returns 0; -1 for null.
    int lock();
    // Leaves the read side and returns 1; 0 for null.
    int unlock();

protected:
    friend class YReadUnGuard;
    YReadWriteSection* section;
};

// Gives up the read side of a YReadWriteSection for the length of a scope, typically
// inside a YReadGuard's scope: leaveSectionRead() in the constructor, enterSectionRead()
// in the destructor. lock() takes the read side back early, unlock() gives it up again.
// Made from a null pointer, or from a guard over none, it does nothing. Not copyable.
class DAVRO_API YReadUnGuard {
public:
    explicit YReadUnGuard(YReadGuard& guard);
    explicit YReadUnGuard(YReadWriteSection& target);
    explicit YReadUnGuard(YReadGuard* guard);
    explicit YReadUnGuard(YReadWriteSection* target);
    YReadUnGuard(const YReadUnGuard&) = delete;
    YReadUnGuard& operator=(const YReadUnGuard&) = delete;
    virtual ~YReadUnGuard();

    // Enters the read side and returns 0; -1 for null.
    int lock();
    // Leaves the read side and returns 1; 0 for null.
    int unlock();

protected:
    YReadWriteSection* section;
};
