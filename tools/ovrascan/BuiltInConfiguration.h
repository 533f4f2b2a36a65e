#pragma once
// The scan configuration ovrascan uses when it is given none: every detection
// category, every module of every running process, with an object limit no real
// machine reaches (a scan that reaches it ends with an error). Every category may also be cleaned: the engine repairs only the categories
// listed here, and only when asked to clean (Scan and Clean, CleanFile); a scan
// alone changes nothing.
inline constexpr wchar_t kBuiltInConfiguration[] =
    LR"(<scanconfig><maxscancount value="4000000"/>)"
    LR"(<scantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></scantype>)"
    LR"(<cleantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></cleantype>)"
    LR"(<source><item type="processes"/></source></scanconfig>)";
