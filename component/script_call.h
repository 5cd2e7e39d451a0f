// A script's call of one of ITalvenor's four members, made ready for the type
// information to carry out. Script engines call the members in ways the type
// information refuses or mishandles: VBScript passes a variable by reference as
// a variant, a JScript statement calls a property get as a method, and a call
// with the wrong number of arguments makes the platform lose a converted copy
// of them. ScriptCall shapes such a call first, without allocating anything;
// every other call is handed on exactly as it came.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com_holders.h"

class ScriptCall {
  public:
    ScriptCall(DISPID member, WORD flags, DISPPARAMS* parameters);
    ScriptCall(const ScriptCall&) = delete;
    ScriptCall& operator=(const ScriptCall&) = delete;

    // S_OK, or DISP_E_BADPARAMCOUNT for a member called with the wrong
    // number of positional arguments; such a call must not go on.
    HRESULT status() const { return m_status; }
    WORD flags() const { return m_flags; }
    DISPPARAMS* parameters() { return m_parameters; }

  private:
    HRESULT m_status = S_OK;
    WORD m_flags;
    DISPPARAMS* m_parameters;
    // The by-value copy of a by-reference argument and the parameters that
    // carry it; a member takes at most one argument.
    VARIANTARG m_argument;
    DISPPARAMS m_byValue;
    // The object the copy points to, held for the call: converting it to text
    // runs the script's code, which may reassign the very variable passed and
    // so release the object while the copy still points to it.
    ComPtr<IUnknown> m_heldObject;
};
