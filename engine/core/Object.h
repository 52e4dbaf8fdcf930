// The root of the project's own class tree.
#pragma once

class CObject {
 public:
  CObject() = default;
  virtual ~CObject() = default;
};
