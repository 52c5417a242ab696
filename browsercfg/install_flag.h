// The Install flags under HKEY_LOCAL_MACHINE\Software\Vellomar\Install: one
// string value per browser, the decimal text of the state last set for it.
// Shared by the Internet Explorer and the Netscape configuration; safe from
// several threads at once (each call opens and closes its own key).
#pragma once

// Sets `value_name` to the decimal text of `enable`, creating the key when it
// is missing; does nothing when the key cannot be opened or created.
void write_install_flag(const char* value_name, int enable);
