#pragma once

#include "http/HttpHandler.h"
#include "http/HttpResponseBodyWriter.h"
#include "pages/File.h"

#include <memory>
#include <string>
#include <vector>

// Handler factories that serve files from disk. Each returns a handler for the routing server;
// the folder handlers read the requested name from the request's first route parameter (in key
// order), so register them on a route with one variable segment, normally the last:
//
//     server->GET["/photos/:name"] = files::browseDirectory("/srv/photos");
//
// Confinement: a requested name with a ".." component (after the router's percent-decoding, so
// "%2E%2E" and "a%2F..%2F.." count) or a NUL byte is answered 404, so no request climbs out of
// the folder through its path. Symbolic links inside the folder are followed: whoever owns the
// folder decides what it holds, and a request cannot create links.
//
// Only regular files are sent (links followed). Folders, FIFOs and devices answer 404: a FIFO
// would block the opening task and a device may never end. File bytes go out with sendfile,
// never through memory. Every descriptor is closed once, whether the body is sent, fails, or
// is never written.
//
// File answers are raw 200 "OK", so the connection closes after them. No handler throws or
// logs; handlers keep no state and may run on several clients' tasks at once.
namespace quintarvel::files {

// A body writer that sends the whole file with the sink's sendFile and then closes the stream.
// It owns the stream from now on: a writer that is dropped without running closes it too. A
// send error is dropped (the status line has gone out). A second call sends nothing.
HttpBodyWriter fileBodyWriter(std::shared_ptr<File> file);

// Answers every request with the file's bytes (no "Content-Type", no "Content-Length"), or 404
// when it cannot be opened.
HttpHandler serveFile(std::string path);

// Answers with the file the parameter names inside the folder, with "Content-Type" by its
// extension and "Content-Length". An empty parameter first tries the default names in order;
// the first that opens is sent without either header. 404 without a parameter or a file.
HttpHandler serveDirectoryFiles(std::string directoryPath,
                                std::vector<std::string> defaultFiles = {});

// For a folder inside `directoryPath`, an HTML table of its entries sorted by their lower-cased
// names (stable, ".." left out), each a link to itself; for a file, its bytes with no
// "Content-Type". 404 for a missing entry, 500 when its status or listing fails.
//
// A link is the request path + "%2F" + the percent-encoded name, so it reaches this handler
// again through the same one-segment route: "/photos/2024" lists links like
// "/photos/2024%2Fm31.fits", whose parameter decodes to "2024/m31.fits".
HttpHandler browseDirectory(std::string directoryPath);

} // namespace quintarvel::files
