// socket.io 4 server for the messaging bridge's tests, on loopback only.
//
//   node server.js [--port N] [--host ADDR] [--ping-interval MS] [--ping-timeout MS]
//                  [--tls-cert FILE --tls-key FILE]
//
// Every namespace is open. What happens is written to stdout as JSON lines:
//   {"event":"listening","port":N}
//   {"event":"connection","nsp","id","query","clients"}       a socket joined a namespace
//   {"event":"message","nsp","id","name","args"}               an event arrived from a client
//   {"event":"disconnect","nsp","id","reason","clients"}
//   {"event":"ack","name","args"} / {"event":"ack-timeout","name"}  answer to an emit with "ack"
//   {"event":"done","cmd"}                                      a command has been carried out
// An event arriving from a client is echoed back to it with the same name and arguments, unless a
// reply is set for that name. Commands arrive on stdin, one JSON object a line:
//   {"cmd":"emit","name","args":[…],"ack":false}   emit to every socket of every namespace
//   {"cmd":"reply","on":NAME,"name":…,"args":[…]}  answer NAME with this event instead of the echo
//   {"cmd":"reject","session":S,"message":M}       refuse namespace joins with sessionid S
//   {"cmd":"disconnect"}                           server-side disconnect of every socket
//   {"cmd":"drop"}                                 cut every connection without a close handshake
"use strict";
const fs = require("fs");
const http = require("http");
const https = require("https");
const readline = require("readline");
const { Server } = require("socket.io");

function option(name, fallback) {
  const i = process.argv.indexOf("--" + name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

function log(event) {
  process.stdout.write(JSON.stringify(event) + "\n");
}

const tlsCert = option("tls-cert");
const httpServer = tlsCert
  ? https.createServer({ cert: fs.readFileSync(tlsCert), key: fs.readFileSync(option("tls-key")) })
  : http.createServer();
const io = new Server(httpServer, {
  transports: ["websocket"],
  pingInterval: Number(option("ping-interval", "300")),
  pingTimeout: Number(option("ping-timeout", "300")),
});

const replies = new Map();
const rejected = new Map();
const sockets = new Set();

function admit(socket, next) {
  const message = rejected.get(String(socket.handshake.query.sessionid));
  next(message === undefined ? undefined : new Error(message));
}

function attach(socket) {
  sockets.add(socket);
  log({ event: "connection", nsp: socket.nsp.name, id: socket.id, query: socket.handshake.query,
        clients: io.engine.clientsCount });
  socket.onAny((name, ...args) => {
    log({ event: "message", nsp: socket.nsp.name, id: socket.id, name, args });
    const reply = replies.get(name);
    if (reply) socket.emit(reply.name, ...reply.args);
    else socket.emit(name, ...args);
  });
  socket.on("disconnect", (reason) => {
    sockets.delete(socket);
    // clientsCount drops once the engine connection has gone too, a moment later.
    setImmediate(() => log({ event: "disconnect", nsp: socket.nsp.name, id: socket.id, reason,
                             clients: io.engine.clientsCount }));
  });
}

io.use(admit);
io.on("connection", attach);
const dynamic = io.of(/^\/.+$/);
dynamic.use(admit);
dynamic.on("connection", attach);

const commands = {
  emit(command) {
    for (const socket of sockets) {
      const args = command.args || [];
      if (command.ack) {
        socket.timeout(5000).emit(command.name, ...args, (err, ...answer) => {
          if (err) log({ event: "ack-timeout", name: command.name });
          else log({ event: "ack", name: command.name, args: answer });
        });
      } else {
        socket.emit(command.name, ...args);
      }
    }
  },
  reply(command) {
    replies.set(command.on, { name: command.name, args: command.args || [] });
  },
  reject(command) {
    rejected.set(String(command.session), command.message);
  },
  disconnect() {
    for (const socket of sockets) socket.disconnect(true);
  },
  drop() {
    for (const socket of sockets) {
      const transport = socket.conn.transport;
      if (transport && transport.socket && transport.socket.terminate) transport.socket.terminate();
      else socket.conn.close();
    }
  },
};

readline.createInterface({ input: process.stdin }).on("line", (line) => {
  if (!line.trim()) return;
  const command = JSON.parse(line);
  commands[command.cmd](command);
  log({ event: "done", cmd: command.cmd });
});
// The test that started us has gone: go too.
process.stdin.on("end", () => process.exit(0));

httpServer.listen(Number(option("port", "0")), option("host", "127.0.0.1"), () => {
  log({ event: "listening", port: httpServer.address().port });
});
