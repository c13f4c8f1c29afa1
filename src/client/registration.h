// What the client library's request side tells its queue side: that a
// registration request of this process was answered, so the server has given
// this process's block the state of a new client.
#pragma once

void NoteRegistrationAnswered();
