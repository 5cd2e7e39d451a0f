#include "object_map.h"

#include "class_factory.h"
#include "object_model.h"
#include "registration.h"
#include "talvenor_idl.h"

namespace {

// Talvenor's description and category list are absent: its categories are
// registered directly by DllRegisterServer.
const wchar_t* NoDescription() {
    return nullptr;
}
const CATID* NoCategoryMap() {
    return nullptr;
}
void NoClassHook(bool) {}

}  // namespace

ObjectMapEntry g_objectMap[] = {
    {&CLSID_Talvenor, RunTalvenorRegistryScript, CComClassFactory::CreateClassObject,
     CreateObjectInstance, nullptr, 0, NoDescription, NoCategoryMap, NoClassHook},
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};
