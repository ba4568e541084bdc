// Which folders the server trusts, in the spirit of sshd's StrictModes: a
// folder that another user could rename or replace, or whose path could be
// turned, is refused. And removing a tree it made without following links.
#pragma once

#include <string>

// Opens path (which must exist) as a folder, after checking every folder from
// / down to it: each is root's or this user's, and no other user can write in
// it unless it is sticky (as /tmp), where they cannot rename what is not
// theirs. With mine, path itself must be this user's and nobody else's to
// write in. canonical is path without links, dots or doubled slashes. -1 and
// why if refused or unreadable.
int openTrusted(const std::string &path, bool mine, std::string &canonical, std::string &why);
// Removes name in the folder dirFd, and all in it if it is a folder; never
// follows a link, whoever changes the tree meanwhile.
void removeTree(int dirFd, const char *name);
