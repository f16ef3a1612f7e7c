#pragma once

// The component model. Every engine class is a component: a concrete class
// behind an abstract interface, created only by its factories and handed back
// with Destroy. Each interface derives from CComponent and starts with the
// pure Reserved(), followed by its own operations in a fixed order.

#include <memory>
#include <new>

namespace tarvelin {

class CComponent {
public:
    CComponent(const CComponent&) = delete;
    CComponent& operator=(const CComponent&) = delete;

    virtual ~CComponent() = default;
    // Deletes the object. Owners call it exactly once; see DestroyComponent
    // for the null-safe form that also clears the owner's pointer.
    virtual void Destroy() { delete this; }
    // Second-phase initialisation run by the factories.
    virtual bool Init() { return true; }

protected:
    CComponent() = default;
};

// Releases a component and sets the pointer to null; a null pointer is a no-op.
template <class T>
void DestroyComponent(T*& component)
{
    if (component != nullptr) {
        component->Destroy();
        component = nullptr;
    }
}

// Hands a component back with Destroy; the deleter of ComponentPtr.
struct ComponentDeleter {
    void operator()(CComponent* component) const { component->Destroy(); }
};

// Owns a component and destroys it when the owner goes, is reset or is given
// another one. release() hands the raw pointer on, to an owner that destroys
// it itself.
template <class T>
using ComponentPtr = std::unique_ptr<T, ComponentDeleter>;

// Destroys an owned component and only then clears the owner: for a
// component whose worker, which Destroy waits for, may still reach it through
// the owner until then. reset() clears the owner first.
template <class T>
void DestroyThenClear(ComponentPtr<T>& owner)
{
    if (owner != nullptr) {
        owner->Destroy();
        static_cast<void>(owner.release());
    }
}

// Calls one of a component's new-instance factories and takes ownership of
// the result: MakeComponent(Edit1) is a ComponentPtr<IIsoEdit>, null when the
// factory failed. Never for a singleton factory: nobody destroys those.
template <class T>
ComponentPtr<T> MakeComponent(T* (*factory)())
{
    return ComponentPtr<T>(factory());
}

// New-instance form: a fresh object, initialised; null when allocation or
// Init fails (the half-made object is destroyed first).
template <class Impl>
Impl* NewComponent()
{
    Impl* object = new (std::nothrow) Impl();
    if (object == nullptr) {
        return nullptr;
    }
    if (!object->Init()) {
        object->Destroy();
        return nullptr;
    }
    return object;
}

// Process-wide singleton form: one static object per component kind, built on
// the first call and destroyed at process exit. Init runs on each call until
// it has succeeded once; while it fails the call returns null. Not guarded
// against two first calls on two threads at once. Callers never destroy it.
template <class Impl>
Impl* SingletonComponent()
{
    static Impl instance;
    static bool initialised = false;
    if (!initialised) {
        initialised = instance.Init();
    }
    return initialised ? &instance : nullptr;
}

} // namespace tarvelin
