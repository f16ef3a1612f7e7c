#pragma once

// The component model. Every engine class is a component: a concrete class
// behind an abstract interface, created only by its factories and handed back
// with Destroy. Each interface derives from CComponent and starts with the
// pure Reserved(), followed by its own operations in a fixed order.

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

// Owns a component for one scope and destroys it at the end, as a worker
// does with the writers it creates for one layout.
template <class T>
class ScopedComponent {
public:
    explicit ScopedComponent(T* created) : component_(created) {}
    ~ScopedComponent() { DestroyComponent(component_); }
    ScopedComponent(const ScopedComponent&) = delete;
    ScopedComponent& operator=(const ScopedComponent&) = delete;

    T* get() const { return component_; }
    // Destroys the component now rather than at the end of the scope.
    void reset() { DestroyComponent(component_); }
    T* operator->() const { return component_; }
    explicit operator bool() const { return component_ != nullptr; }

private:
    T* component_ = nullptr;
};

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
