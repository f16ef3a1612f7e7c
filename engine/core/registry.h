#pragma once

// Finds a component factory by its exported name ("Sector1", "NEW_MACROLIST",
// ...). Every factory defined with TARVELIN_DEFINE_FACTORIES is registered
// here when the engine library is loaded, and is also exported from the
// library under the same name with C linkage.

#include "core/component.h"
#include "platform/export.h"

#include <string>
#include <string_view>
#include <vector>

namespace tarvelin {

using ComponentFactory = CComponent* (*)();

// Null when no factory has that name.
TARVELIN_API ComponentFactory FindFactory(std::string_view name);
// Every registered name, sorted.
TARVELIN_API std::vector<std::string> FactoryNames();

struct FactoryRegistration {
    FactoryRegistration(const char* name, ComponentFactory factory);
};

} // namespace tarvelin

// Declares the two exported factories of a component; goes in the header of
// the component's interface, at global scope.
#define TARVELIN_DECLARE_FACTORIES(Interface, NewName, SingletonName) \
    extern "C" TARVELIN_API Interface* NewName();                     \
    extern "C" TARVELIN_API Interface* SingletonName();

// Defines and registers them; goes in the component's source file, at global
// scope, after the concrete class.
#define TARVELIN_DEFINE_FACTORIES(Impl, Interface, NewName, SingletonName)                       \
    extern "C" TARVELIN_API Interface* NewName() { return ::tarvelin::NewComponent<Impl>(); }     \
    extern "C" TARVELIN_API Interface* SingletonName()                                         \
    {                                                                                          \
        return ::tarvelin::SingletonComponent<Impl>();                                         \
    }                                                                                          \
    static const ::tarvelin::FactoryRegistration tarvelinFactory_##NewName{                    \
        #NewName, []() -> ::tarvelin::CComponent* { return NewName(); }};                     \
    static const ::tarvelin::FactoryRegistration tarvelinFactory_##SingletonName{              \
        #SingletonName, []() -> ::tarvelin::CComponent* { return SingletonName(); }};
