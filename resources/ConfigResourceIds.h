// Resource ids of ConfigVombra.exe, shared by the code and the resource scripts.
#pragma once
