#include "script_call.h"

namespace {

// How many positional arguments each member takes.
struct MemberShape {
    DISPID member;
    UINT arguments;
};
constexpr MemberShape kMemberShapes[] = {
    {1, 1},  // getID(salt)
    {2, 0},  // ComputerName
    {3, 0},  // TestInstallation
    {4, 0},  // Version
};

const MemberShape* FindShape(DISPID member) {
    for (const MemberShape& shape : kMemberShapes) {
        if (shape.member == member) {
            return &shape;
        }
    }
    return nullptr;
}

bool IsRead(WORD flags) {
    return (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
}

}  // namespace

ScriptCall::ScriptCall(DISPID member, WORD flags, DISPPARAMS* parameters)
    : m_flags(flags), m_parameters(parameters) {
    const MemberShape* shape = FindShape(member);
    // Writes and calls with named arguments go on unchanged: the type
    // information refuses them before it converts anything.
    if (shape == nullptr || parameters == nullptr || parameters->cNamedArgs != 0 ||
        !IsRead(flags)) {
        return;
    }
    if (parameters->cArgs != shape->arguments) {
        m_status = DISP_E_BADPARAMCOUNT;
        return;
    }
    // Every member is a property get; a statement such as `o.getID(salt);`
    // arrives as a method call alone.
    m_flags |= DISPATCH_PROPERTYGET;
    // The type information cannot convert a variant passed by reference; a
    // copy of the variant it points to, sharing its contents, reads the same.
    if (shape->arguments == 1 && parameters->rgvarg[0].vt == (VT_BYREF | VT_VARIANT) &&
        parameters->rgvarg[0].pvarVal != nullptr) {
        m_argument = *parameters->rgvarg[0].pvarVal;
        m_byValue = {&m_argument, nullptr, 1, 0};
        m_parameters = &m_byValue;
        if ((m_argument.vt == VT_DISPATCH || m_argument.vt == VT_UNKNOWN) &&
            m_argument.punkVal != nullptr) {
            m_argument.punkVal->AddRef();
            *m_heldObject.put() = m_argument.punkVal;
        }
    }
}
