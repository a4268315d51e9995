// The program's version: the project's, and the git checkout it was built from
// when there was one, e.g. "0.1.0 (git 4f2a9c1)".
#pragma once

const char* shedmateVersion();
