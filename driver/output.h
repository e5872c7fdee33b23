// output.h: the output channel (three replaceable operation slots over the
// client, file and buffer sinks, with nested capture) and the escaping
// writers. Standard output is one fully buffered stream.
#pragma once

#include "support/types.h"

using PrintfSlot = int (*)(FILE* stream, const char* format, ...);
using PutsSlot = int (*)(const char* text, FILE* stream);
using PutcSlot = int (*)(int c, FILE* stream);

extern PrintfSlot serverPrintf;
extern PutsSlot serverPuts;
extern PutcSlot serverPutc;

// A capture buffer: write position and end position (the last byte that may
// hold the terminating zero). Its text is always zero-terminated.
struct CaptureBuffer {
  char* pos;
  char* end;
};
// Makes an empty capture over storage of size bytes (size - 1 of text).
CaptureBuffer MakeCapture(char* storage, size_t size);

// The current capture buffer, or null.
extern CaptureBuffer* PQTBuffer;

void serverSendOutputToClient();
// Drops every capture (PQTBuffer null) and sends the output to the client:
// an error page reaches the browser whatever tag body was being captured.
void serverDropCapture();
void serverSendOutputToFile(Globals* G, FILE* file);
void serverSendOutputToBuffer(Globals* G, CaptureBuffer* buffer);
FILE* serverFileSink();   // the file sink's target, or null

// Buffer appends: copy while below the end; overflow overwrites the last
// byte; always zero-terminated.
void appends(CaptureBuffer* b, const char* text);
void appendn(CaptureBuffer* b, const char* text, size_t n);
void appendc(CaptureBuffer* b, int c);
// Appends the text as an SQL string literal: absent or empty text is NULL.
void appendquoted(CaptureBuffer* b, const char* text);
// Appends the text URL-encoded (as wwwputurl writes it); the second takes
// n bytes, zero bytes among them.
void appendurl(CaptureBuffer* b, const char* text);
void appendurln(CaptureBuffer* b, const char* text, size_t n);

// Installs the fully buffered standard output (called once by main).
void OutputInitializeProcess();

bool GermanCharMode(Globals* G);
void wwwput(Globals* G, const char* text, bool escape, long max);
void wwwputs(Globals* G, const char* text);
void wwwputhtml(Globals* G, const char* text);
void wwwputurl(Globals* G, const char* text);
// Length-bounded variants for texts that are not zero-terminated.
void wwwputn(Globals* G, const char* text, size_t n, bool escape);
