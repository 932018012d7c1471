// The scope guards. Each pair, a guard and its inverse, is the same code over its kind of
// target: YGuard and YUnGuard over a waitable object, YReadGuard and YReadUnGuard over the
// read side of a section. take() and give() know the targets.
#include <davro/core/SyncObject.h>
#include <davro/primitives/Guard.h>
#include <davro/primitives/ReadWriteSection.h>

using namespace davro::win32;

namespace {

// Taking and giving up what a guard covers, with the results that the guards' lock() and
// unlock() return: a waitable object's own lock(INFINITE) and unlock(), 0 and 1 for the read
// side of a section, -1 and 0 for null (which does nothing).
int take(YSyncObject* object) { return object != nullptr ? object->lock(INFINITE) : -1; }

int give(YSyncObject* object) { return object != nullptr ? object->unlock() : 0; }

int take(YReadWriteSection* section) {
    if (section == nullptr) {
        return -1;
    }
    section->enterSectionRead();
    return 0;
}

int give(YReadWriteSection* section) {
    if (section == nullptr) {
        return 0;
    }
    section->leaveSectionRead();
    return 1;
}

}  // namespace

// The members of a guard over `Target` and of its inverse, which gives up in its constructor
// what the guard takes in its, and takes it back in its destructor. `member` is the target
// pointer that both keep. The arguments are names, used where no parentheses can go.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define DAVRO_GUARD_PAIR(Guard, UnGuard, Target, member)                                    \
    Guard::Guard(Target& target) : Guard(&target) {}                                        \
    Guard::Guard(Target* target) : member(target) { take(member); }                         \
    Guard::~Guard() { give(member); }                                                       \
    int Guard::lock() { return take(member); }                                              \
    int Guard::unlock() { return give(member); }                                            \
                                                                                            \
    UnGuard::UnGuard(Guard& guard) : UnGuard(guard.member) {}                               \
    UnGuard::UnGuard(Target& target) : UnGuard(&target) {}                                  \
    UnGuard::UnGuard(Guard* guard) : UnGuard(guard != nullptr ? guard->member : nullptr) {} \
    UnGuard::UnGuard(Target* target) : member(target) { give(member); }                     \
    UnGuard::~UnGuard() { take(member); }                                                   \
    int UnGuard::lock() { return take(member); }                                            \
    int UnGuard::unlock() { return give(member); }
// NOLINTEND(bugprone-macro-parentheses)

DAVRO_GUARD_PAIR(YGuard, YUnGuard, YSyncObject, object)
DAVRO_GUARD_PAIR(YReadGuard, YReadUnGuard, YReadWriteSection, section)

#undef DAVRO_GUARD_PAIR
