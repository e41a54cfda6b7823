"""First run of the native core: import it and report what was built."""

import _kestrune

info = _kestrune.native_runtime_info()
print(f"{info.name} native core {info.version}")
print("exported:", ", ".join(_kestrune.__all__))
