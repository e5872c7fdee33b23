// fastcgi.h: the FastCGI mode. When standard input is a listening socket
// (the FastCGI convention: spawn-fcgi, systemd socket activation,
// cgi-fcgi -start), the process serves FastCGI requests in a loop, each one
// a whole request cycle with the request's environment, body and output
// streams; with BRAXEL_FCGI_CHILDREN it forks workers and replaces them.
#pragma once

#include "driver/request.h"

// True when standard input is a listening socket: one system call, the only
// cost the FastCGI mode adds to a CGI run.
bool FcgiListening();

// Serves requests until SIGTERM; returns the process's exit status.
//   BRAXEL_FCGI_CHILDREN=N       a supervisor forks N workers on the socket
//                                and replaces any that ends; without it (or
//                                0) the process serves the requests itself
//   BRAXEL_FCGI_MAX_REQUESTS=M   a worker is recycled after M requests
// Each request runs cycle as a CGI run of the same program would run, with
// the request's parameters as its environment, its body as standard input
// and its output and error streams as standard output and standard error;
// the exit status a CGI run would have had goes back as the request's
// application status.
int FcgiServe(int argc, char** argv, RequestCycle cycle);
