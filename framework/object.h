// The least of an application framework: the object and command-target roots
// and an (always empty here) message map.
#ifndef QUILLMOTE_FRAMEWORK_OBJECT_H
#define QUILLMOTE_FRAMEWORK_OBJECT_H

#include <windows.h>

struct AFX_MSGMAP_ENTRY {
  UINT message;  // 0 ends a map
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* baseMap;
  const AFX_MSGMAP_ENTRY* entries;
};

class CObject {
 public:
  virtual ~CObject() = default;
};

class CCmdTarget : public CObject {
 public:
  // The messages this class handles itself; the framework's own map is empty.
  virtual const AFX_MSGMAP* GetMessageMap() const;
};

#endif
