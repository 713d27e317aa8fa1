// PTX interpreter: parser, decoder and executor. See ptx_interp.hpp for the model.
#include "ptx_interp.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <unordered_map>

namespace ptxi {

// ---- types -----------------------------------------------------------------------------------

enum Ty : uint8_t { T_NONE, B8, B16, B32, B64, U8, U16, U32, U64, S8, S16, S32, S64, F16, F16X2, BF16, BF16X2, F32, F64, PRED };

static const char* kTyNames[] = {"", "b8", "b16", "b32", "b64", "u8", "u16", "u32", "u64", "s8", "s16", "s32",
                                 "s64", "f16", "f16x2", "bf16", "bf16x2", "f32", "f64", "pred"};

static Ty ty_of(const std::string& s) {
    for (int i = 1; i <= PRED; ++i)
        if (s == kTyNames[i]) return static_cast<Ty>(i);
    return T_NONE;
}
static unsigned ty_bytes(Ty t) {
    switch (t) {
        case B8: case U8: case S8: return 1;
        case B16: case U16: case S16: case F16: case BF16: return 2;
        case B32: case U32: case S32: case F32: case F16X2: case BF16X2: return 4;
        case B64: case U64: case S64: case F64: return 8;
        case PRED: return 1;
        default: return 0;
    }
}
static bool ty_signed(Ty t) { return t == S8 || t == S16 || t == S32 || t == S64; }
static bool ty_float(Ty t) { return t == F16 || t == F32 || t == F64 || t == BF16 || t == F16X2 || t == BF16X2; }

// ---- instructions ------------------------------------------------------------------------------

enum Op : uint8_t {
    O_MOV, O_ADD, O_SUB, O_MUL, O_MAD, O_FMA, O_DIV, O_REM, O_MIN, O_MAX, O_ABS, O_NEG, O_AND, O_OR, O_XOR,
    O_NOT, O_CNOT, O_SHL, O_SHR, O_BFI, O_BFE, O_POPC, O_CLZ, O_BREV, O_PRMT, O_LOP3, O_SHF, O_COPYSIGN, O_RCP,
    O_SQRT, O_RSQRT, O_EX2, O_LG2, O_SIN, O_COS, O_TANH, O_SETP, O_SELP, O_CVT, O_CVTA, O_LD, O_ST, O_BRA,
    O_RET, O_BAR, O_BARWARP, O_SHFL, O_ATOM, O_WMMA_LOAD, O_WMMA_MMA, O_WMMA_STORE, O_LDMATRIX, O_MMA,
    O_CPASYNC, O_CP_COMMIT, O_CP_WAIT, O_CP_WAITALL, O_NOP,
    // Hopper: mbarrier (sub: MB_*), TMA load, warpgroup MMA and its ordering, proxy fence
    O_MBAR, O_TMA, O_WGMMA, O_WG_FENCE, O_WG_COMMIT, O_WG_WAIT, O_FENCE_PROXY, O_SETMAXNREG, O_ELECT
};
enum MbarOp : uint8_t { MB_INIT = 1, MB_ARRIVE, MB_ARRIVE_TX, MB_EXPECT_TX, MB_COMPLETE_TX, MB_TRY_WAIT, MB_TEST_WAIT, MB_INVAL };

enum Space : uint8_t { SP_GENERIC, SP_GLOBAL, SP_SHARED, SP_LOCAL, SP_PARAM, SP_CONST };
enum Rnd : uint8_t { R_NONE, RN, RZ, RM, RP, RNI, RZI, RMI, RPI };
enum Cmp : uint8_t { C_EQ, C_NE, C_LT, C_LE, C_GT, C_GE, C_LO, C_LS, C_HI, C_HS, C_EQU, C_NEU, C_LTU, C_LEU,
                     C_GTU, C_GEU, C_NUM, C_NAN };
enum Flag : uint32_t {
    F_FTZ = 1, F_SAT = 2, F_APPROX = 4, F_FULL = 8, F_WIDE = 16, F_LO = 32, F_HI = 64, F_TRANS = 128,
    F_SATFINITE = 256, F_RELU = 512, F_COLLECTIVE = 1024, F_TO = 2048, F_SHR = 4096, F_WRAP = 8192,
    F_IGNORE_SRC = 16384
};

enum OpKind : uint8_t { K_NONE, K_REG, K_IMM, K_VEC, K_ADDR, K_PAIR, K_SINK, K_LABEL };

struct Opnd {
    OpKind kind = K_NONE;
    int32_t reg = -1;   // K_REG, K_ADDR base (-1: none), K_PAIR first
    int32_t reg2 = -1;  // K_PAIR second
    int64_t off = 0;    // K_ADDR offset (includes a symbol's address), K_LABEL target, K_VEC first index
    uint8_t count = 0;  // K_VEC
    bool neg = false;   // K_REG: "!%p", a negated predicate
    Space sym_space = SP_GENERIC;  // K_ADDR with a symbol base, K_IMM of a symbol
    uint64_t imm[3] = {0, 0, 0};   // K_IMM: as integer, as f32 bits, as f64 bits
};

struct Insn {
    Op op = O_NOP;
    Ty t = T_NONE, t2 = T_NONE;
    Rnd rnd = R_NONE;
    Space space = SP_GENERIC;
    uint8_t vec = 1;
    uint8_t cmp = 0, boolop = 0;  // setp: comparison; 0 none, 1 and, 2 or, 3 xor
    uint8_t sub = 0;              // shfl mode, atom op, wmma fragment (a b c), ldmatrix count, cp cache
    uint8_t layout_a = 0, layout_b = 0;  // wmma: 0 row, 1 col
    Ty ta = T_NONE, tb = T_NONE;  // mma/wmma operand types (d = t, c = t2)
    uint32_t flags = 0;
    int32_t guard = -1;
    bool guard_neg = false;
    uint8_t nops = 0;
    uint16_t n = 0;  // wgmma: the N of m64nNk16
    Opnd ops[8];
    int line = 0;
    std::string text;
};

struct Param {
    std::string name, type;
    unsigned size = 0, offset = 0, align = 1;
};

struct Kernel {
    std::string name;
    std::vector<Param> params;
    unsigned param_bytes = 0;
    std::vector<Insn> code;
    std::vector<Opnd> vecpool;
    int nregs = 0;
    unsigned shared_static = 0;
    unsigned dyn_align = 16;
    unsigned local_bytes = 0;
    unsigned maxnreg = 0;  // .maxnreg, 0 when absent
    std::vector<std::string> reg_names;
    std::vector<Ty> reg_types;
};

Module::~Module() = default;

const Kernel* Module::kernel(const std::string& name) const {
    for (auto& k : kernels)
        if (k->name == name) return k.get();
    return nullptr;
}
std::vector<std::string> Module::kernel_names() const {
    std::vector<std::string> out;
    for (auto& k : kernels) out.push_back(k->name);
    return out;
}
std::vector<std::string> Module::param_types(const std::string& name) const {
    std::vector<std::string> out;
    if (auto* k = kernel(name))
        for (auto& p : k->params) out.push_back(p.type);
    return out;
}
std::vector<unsigned> Module::param_sizes(const std::string& name) const {
    std::vector<unsigned> out;
    if (auto* k = kernel(name))
        for (auto& p : k->params) out.push_back(p.size);
    return out;
}
unsigned Module::static_shared(const std::string& name) const {
    auto* k = kernel(name);
    return k ? k->shared_static : 0;
}

// ---- parsing -----------------------------------------------------------------------------------

namespace {

struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Special registers occupy the first register slots of every kernel.
const char* kSpecial[] = {"%tid.x", "%tid.y", "%tid.z", "%ntid.x", "%ntid.y", "%ntid.z", "%ctaid.x", "%ctaid.y",
                          "%ctaid.z", "%nctaid.x", "%nctaid.y", "%nctaid.z", "%laneid", "%warpid", "%nwarpid"};
constexpr int kNumSpecial = 15;

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::vector<std::string> split_top(const std::string& s, char sep) {
    std::vector<std::string> out;
    int depth = 0;
    std::string cur;
    for (char c : s) {
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
        if (c == sep && depth == 0) {
            out.push_back(trim(cur));
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!trim(cur).empty() || !out.empty()) out.push_back(trim(cur));
    return out;
}

std::string strip_comments(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            i += 2;
            while (i + 1 < text.size() && !(text[i] == '*' && text[i + 1] == '/')) {
                if (text[i] == '\n') out.push_back('\n');
                ++i;
            }
            i += 2;
        } else if (text[i] == '"') {  // strings (.pragma "nounroll") pass through
            out.push_back(text[i++]);
            while (i < text.size() && text[i] != '"') out.push_back(text[i++]);
            if (i < text.size()) out.push_back(text[i++]);
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

bool is_ident_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '%' || c == '.'; }

uint64_t f32_bits(float f) { uint32_t b; std::memcpy(&b, &f, 4); return b; }
uint64_t f64_bits(double d) { uint64_t b; std::memcpy(&b, &d, 8); return b; }
float as_f32(uint64_t b) { uint32_t x = static_cast<uint32_t>(b); float f; std::memcpy(&f, &x, 4); return f; }
double as_f64(uint64_t b) { double d; std::memcpy(&d, &b, 8); return d; }

// Integer or float literal; false when `s` is not one.
bool parse_literal(const std::string& s, Opnd& o) {
    if (s.empty()) return false;
    o.kind = K_IMM;
    const char* p = s.c_str();
    bool neg = false;
    if (*p == '-') { neg = true; ++p; }
    if ((p[0] == '0') && (p[1] == 'f' || p[1] == 'F') && std::strlen(p) == 10) {
        uint32_t bits = static_cast<uint32_t>(std::strtoul(p + 2, nullptr, 16));
        if (neg) bits ^= 0x80000000u;
        o.imm[0] = bits, o.imm[1] = bits, o.imm[2] = f64_bits(as_f32(bits));
        return true;
    }
    if ((p[0] == '0') && (p[1] == 'd' || p[1] == 'D') && std::strlen(p) == 18) {
        uint64_t bits = std::strtoull(p + 2, nullptr, 16);
        if (neg) bits ^= 0x8000000000000000ull;
        o.imm[0] = bits, o.imm[1] = f32_bits(static_cast<float>(as_f64(bits))), o.imm[2] = bits;
        return true;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p)) && *p != '.') return false;
    bool is_float = s.find_first_of(".eE") != std::string::npos && !(p[0] == '0' && (p[1] == 'x' || p[1] == 'X'));
    if (is_float) {
        char* end;
        double d = std::strtod(s.c_str(), &end);
        if (*end) return false;
        o.imm[0] = std::fabs(d) < 9e18 ? static_cast<uint64_t>(static_cast<int64_t>(d)) : 0;
        o.imm[1] = f32_bits(static_cast<float>(d));
        o.imm[2] = f64_bits(d);
        return true;
    }
    char* end;
    uint64_t v;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) v = std::strtoull(p + 2, &end, 16);
    else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B')) v = std::strtoull(p + 2, &end, 2);
    else if (p[0] == '0' && p[1]) v = std::strtoull(p + 1, &end, 8);
    else v = std::strtoull(p, &end, 10);
    if (*end == 'U' || *end == 'u') ++end;
    if (*end) return false;
    if (neg) v = ~v + 1;
    o.imm[0] = v;
    int64_t sv = static_cast<int64_t>(v);
    o.imm[1] = f32_bits(static_cast<float>(sv));
    o.imm[2] = f64_bits(static_cast<double>(sv));
    return true;
}

struct Symbol {
    Space space;
    uint64_t addr;
};

class Parser {
public:
    explicit Parser(const std::string& text) : src_(strip_comments(text)) {}

    std::unique_ptr<Module> parse() {
        auto mod = std::make_unique<Module>();
        while (true) {
            skip_ws();
            if (pos_ >= src_.size()) break;
            std::string word = read_word();
            if (word == ".version" || word == ".target" || word == ".address_size" || word == ".file") {
                skip_line();
            } else if (word == ".visible" || word == ".weak" || word == ".extern") {
                pending_extern_ = word == ".extern";
                continue;
            } else if (word == ".entry") {
                mod->kernels.push_back(parse_entry());
            } else if (word == ".shared") {
                std::string decl = read_until(';');
                module_shared_.push_back({decl, pending_extern_});
            } else if (word.empty()) {
                fail("unexpected character '" + std::string(1, src_[pos_]) + "'");
            } else {
                fail("unsupported module directive " + word);
            }
            pending_extern_ = false;
        }
        return mod;
    }

private:
    std::string src_;
    size_t pos_ = 0;
    bool pending_extern_ = false;
    std::vector<std::pair<std::string, bool>> module_shared_;

    [[noreturn]] void fail(const std::string& what) {
        int line = 1 + static_cast<int>(std::count(src_.begin(), src_.begin() + std::min(pos_, src_.size()), '\n'));
        throw ParseError("line " + std::to_string(line) + ": " + what);
    }
    int line_at(size_t p) const { return 1 + static_cast<int>(std::count(src_.begin(), src_.begin() + p, '\n')); }
    void skip_ws() {
        while (pos_ < src_.size() && std::isspace(static_cast<unsigned char>(src_[pos_]))) ++pos_;
    }
    void skip_line() {
        while (pos_ < src_.size() && src_[pos_] != '\n') ++pos_;
    }
    std::string read_word() {
        skip_ws();
        size_t a = pos_;
        while (pos_ < src_.size() && is_ident_char(src_[pos_])) ++pos_;
        return src_.substr(a, pos_ - a);
    }
    std::string read_until(char c) {
        size_t a = pos_;
        while (pos_ < src_.size() && src_[pos_] != c) ++pos_;
        if (pos_ >= src_.size()) fail(std::string("missing '") + c + "'");
        std::string out = src_.substr(a, pos_ - a);
        ++pos_;
        return out;
    }

    // ".align 16 .b8 name[64]" (after .shared/.local) -> name, bytes, alignment
    struct VarDecl {
        std::string name;
        unsigned bytes = 0, align = 1;
        bool unsized = false;
    };
    VarDecl parse_var(const std::string& decl) {
        VarDecl v;
        std::vector<std::string> words;
        {
            std::string w;
            for (char c : decl + " ") {
                if (std::isspace(static_cast<unsigned char>(c))) {
                    if (!w.empty()) words.push_back(w), w.clear();
                } else {
                    w.push_back(c);
                }
            }
        }
        Ty t = T_NONE;
        for (size_t i = 0; i < words.size(); ++i) {
            const std::string& w = words[i];
            if (w == ".align") {
                if (i + 1 >= words.size()) fail("bad .align");
                v.align = static_cast<unsigned>(std::stoul(words[++i]));
            } else if (w[0] == '.') {
                t = ty_of(w.substr(1));
                if (t == T_NONE) fail("unsupported declaration " + decl);
            } else {
                size_t br = w.find('[');
                v.name = w.substr(0, br);
                unsigned count = 1;
                if (br != std::string::npos) {
                    std::string n = w.substr(br + 1, w.find(']') - br - 1);
                    if (n.empty()) v.unsized = true, count = 0;
                    else count = static_cast<unsigned>(std::stoul(n));
                }
                v.bytes = ty_bytes(t) * count;
            }
        }
        if (v.name.empty() || t == T_NONE) fail("bad declaration " + decl);
        if (v.align < ty_bytes(t)) v.align = ty_bytes(t);
        return v;
    }

    // ---- kernel bodies ---------------------------------------------------------------------

    Kernel* k_ = nullptr;
    std::vector<std::unordered_map<std::string, int>> scopes_;
    std::map<std::string, Symbol> symbols_;
    std::map<std::string, int> labels_;
    std::vector<std::pair<int, std::string>> label_refs_;  // instruction index, label
    unsigned shared_off_ = 0;

    void add_shared(const VarDecl& v, bool is_extern) {
        if (is_extern || v.unsized) {
            symbols_[v.name] = {SP_SHARED, ~0ull};  // dynamic: placed after the static variables
            k_->dyn_align = std::max(k_->dyn_align, v.align);
            return;
        }
        shared_off_ = (shared_off_ + v.align - 1) / v.align * v.align;
        symbols_[v.name] = {SP_SHARED, shared_off_};
        shared_off_ += v.bytes;
    }

    int new_reg(const std::string& name, Ty type = U32) {
        int id = k_->nregs++;
        k_->reg_names.push_back(name);
        k_->reg_types.push_back(type);
        scopes_.back()[name] = id;
        return id;
    }

    std::unique_ptr<Kernel> parse_entry() {
        auto kernel = std::make_unique<Kernel>();
        k_ = kernel.get();
        k_->name = read_word();
        if (k_->name.empty()) fail("entry without a name");
        scopes_.assign(1, {});
        symbols_.clear();
        labels_.clear();
        label_refs_.clear();
        shared_off_ = 0;
        for (const char* s : kSpecial) new_reg(s);
        for (auto& [decl, ext] : module_shared_) add_shared(parse_var(decl), ext);
        skip_ws();
        if (pos_ < src_.size() && src_[pos_] == '(') {
            ++pos_;
            std::string list = read_until(')');
            for (const std::string& d : split_top(list, ',')) {
                if (d.empty()) continue;
                std::string decl = d;
                if (decl.rfind(".param", 0) != 0) fail("bad parameter " + d);
                decl = decl.substr(6);
                size_t ptr = decl.find(".ptr");
                if (ptr != std::string::npos) {  // ".ptr .global .align 4" qualifiers
                    size_t name_at = decl.find_last_of(" \t");
                    std::string type = decl.substr(0, ptr);
                    decl = type + " " + decl.substr(name_at + 1);
                }
                VarDecl v = parse_var(decl);
                Param p;
                p.name = v.name;
                p.size = v.bytes;
                p.align = v.align;
                std::string t = trim(decl);
                size_t dot = t.rfind('.', t.find(v.name));
                p.type = t.substr(dot, t.find_first_of(" \t", dot) - dot);
                k_->param_bytes = (k_->param_bytes + p.align - 1) / p.align * p.align;
                p.offset = k_->param_bytes;
                k_->param_bytes += p.size;
                symbols_[p.name] = {SP_PARAM, p.offset};
                k_->params.push_back(p);
            }
        }
        // performance directives up to the body
        while (true) {
            skip_ws();
            if (pos_ >= src_.size()) fail("entry without a body");
            if (src_[pos_] == '{') break;
            if (src_[pos_] == ';') { ++pos_; continue; }
            std::string w = read_word();
            if (w == ".maxnreg") {
                skip_ws();
                size_t a = pos_;
                while (pos_ < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_]))) ++pos_;
                if (a == pos_) fail("bad .maxnreg");
                k_->maxnreg = static_cast<unsigned>(std::stoul(src_.substr(a, pos_ - a)));
                continue;
            }
            if (w == ".maxntid" || w == ".reqntid" || w == ".minnctapersm" || w == ".maxnreg" || w == ".maxnctapersm" ||
                w == ".pragma" || w == ".noreturn") {
                while (pos_ < src_.size() && src_[pos_] != '{' && src_[pos_] != '\n') ++pos_;
            } else {
                fail("unsupported entry directive " + w);
            }
        }
        ++pos_;
        parse_body();
        for (auto& [idx, name] : label_refs_) {
            auto it = labels_.find(name);
            if (it == labels_.end()) fail("unknown label " + name);
            k_->code[idx].ops[0].off = it->second;
        }
        k_->shared_static = shared_off_;
        // dynamic shared symbols start after the static ones
        unsigned dyn = (shared_off_ + k_->dyn_align - 1) / k_->dyn_align * k_->dyn_align;
        for (auto& insn : k_->code)
            for (int i = 0; i < insn.nops; ++i) fix_dyn(insn.ops[i], dyn);
        for (auto& o : k_->vecpool) fix_dyn(o, dyn);
        // a body ends with ret or exit implicitly
        Insn ret;
        ret.op = O_RET;
        ret.text = "(end of " + k_->name + ")";
        k_->code.push_back(ret);
        k_ = nullptr;
        return kernel;
    }

    static void fix_dyn(Opnd& o, unsigned dyn) {
        constexpr int64_t kDynMark = int64_t(1) << 40;
        if ((o.kind == K_ADDR || o.kind == K_IMM) && o.sym_space == SP_SHARED && o.off >= kDynMark / 2) {
            o.off = o.off - kDynMark + dyn;
            if (o.kind == K_IMM) o.imm[0] = static_cast<uint64_t>(o.off), o.off = 0;
        }
    }

    void parse_body() {
        int depth = 1;
        while (true) {
            skip_ws();
            if (pos_ >= src_.size()) fail("unterminated body");
            char c = src_[pos_];
            if (c == '{') {
                ++pos_;
                ++depth;
                scopes_.emplace_back();
                continue;
            }
            if (c == '}') {
                ++pos_;
                if (--depth == 0) return;
                scopes_.pop_back();
                continue;
            }
            size_t start = pos_;
            // label?
            size_t p = pos_;
            while (p < src_.size() && (std::isalnum(static_cast<unsigned char>(src_[p])) || src_[p] == '_' || src_[p] == '$')) ++p;
            if (p > pos_ && p < src_.size() && src_[p] == ':') {
                labels_[src_.substr(pos_, p - pos_)] = static_cast<int>(k_->code.size());
                pos_ = p + 1;
                continue;
            }
            std::string stmt = trim(read_until(';'));
            int line = line_at(start);
            if (stmt.empty()) continue;
            if (stmt[0] == '.') {
                directive(stmt);
                continue;
            }
            // a statement such as "{ cvt.rn.f16.f32 %rs1, %f1; }" opens its scope before the text
            decode(stmt, line);
        }
    }

    void directive(const std::string& stmt) {
        std::string word = stmt.substr(0, stmt.find_first_of(" \t"));
        std::string rest = trim(stmt.substr(word.size()));
        if (word == ".reg") {
            // ".reg .b32 %r<12>" or ".reg .f32 %a, %b" or ".reg .v2 ..." (unsupported)
            size_t sp = rest.find_first_of(" \t");
            std::string type = rest.substr(0, sp);
            Ty rt = ty_of(type.substr(1));
            if (rt == T_NONE) fail("unsupported register type " + type);
            for (const std::string& n : split_top(trim(rest.substr(sp)), ',')) {
                size_t lt = n.find('<');
                if (lt != std::string::npos) {
                    std::string base = n.substr(0, lt);
                    int count = std::stoi(n.substr(lt + 1));
                    for (int i = 0; i < count; ++i) new_reg(base + std::to_string(i), rt);
                } else {
                    new_reg(n, rt);
                }
            }
        } else if (word == ".shared") {
            add_shared(parse_var(rest), false);
        } else if (word == ".extern" && rest.rfind(".shared", 0) == 0) {
            add_shared(parse_var(rest.substr(7)), true);
        } else if (word == ".local") {
            VarDecl v = parse_var(rest);
            k_->local_bytes = (k_->local_bytes + v.align - 1) / v.align * v.align;
            symbols_[v.name] = {SP_LOCAL, k_->local_bytes};
            k_->local_bytes += v.bytes;
        } else if (word == ".pragma" || word == ".loc") {
        } else {
            fail("unsupported directive " + word);
        }
    }

    int reg(const std::string& name) {
        for (auto it = scopes_.rbegin(); it != scopes_.rend(); ++it) {
            auto f = it->find(name);
            if (f != it->end()) return f->second;
        }
        return -1;
    }

    Opnd operand(const std::string& s, Insn& in) {
        Opnd o;
        if (s.empty()) fail("empty operand in '" + in.text + "'");
        if (s[0] == '{') {
            o.kind = K_VEC;
            o.off = static_cast<int64_t>(k_->vecpool.size());
            std::string inner = s.substr(1, s.rfind('}') - 1);
            std::vector<Opnd> items;
            for (const std::string& e : split_top(inner, ',')) items.push_back(operand(e, in));
            for (auto& e : items) k_->vecpool.push_back(e);
            o.count = static_cast<uint8_t>(items.size());
            return o;
        }
        if (s[0] == '[') {
            o.kind = K_ADDR;
            std::string inner = trim(s.substr(1, s.rfind(']') - 1));
            std::string base = inner, off;
            size_t plus = inner.find('+', 1);
            size_t minus = inner.find('-', 1);
            size_t cut = std::min(plus, minus);
            if (cut != std::string::npos) {
                base = trim(inner.substr(0, cut));
                off = trim(inner.substr(cut + (cut == plus ? 1 : 0)));
            }
            Opnd lit;
            if (parse_literal(base, lit)) {
                o.off = static_cast<int64_t>(lit.imm[0]);
            } else if (base[0] == '%') {
                o.reg = reg(base);
                if (o.reg < 0) fail("unknown register " + base + " in '" + in.text + "'");
            } else {
                auto sym = symbols_.find(base);
                if (sym == symbols_.end()) fail("unknown symbol " + base + " in '" + in.text + "'");
                o.sym_space = sym->second.space;
                o.off = sym->second.addr == ~0ull ? (int64_t(1) << 40) : static_cast<int64_t>(sym->second.addr);
            }
            if (!off.empty()) {
                Opnd l2;
                if (!parse_literal(off, l2)) fail("bad address offset in '" + in.text + "'");
                o.off += static_cast<int64_t>(l2.imm[0]);
            }
            return o;
        }
        size_t bar = s.find('|');
        if (bar != std::string::npos) {
            o.kind = K_PAIR;
            std::string first = trim(s.substr(0, bar));
            o.reg = first == "_" ? -1 : reg(first);  // "_|p": the first destination discarded
            o.reg2 = reg(trim(s.substr(bar + 1)));
            if ((o.reg < 0 && first != "_") || o.reg2 < 0) fail("unknown register in '" + in.text + "'");
            return o;
        }
        if (s == "_") {
            o.kind = K_SINK;
            return o;
        }
        if (s[0] == '%' || (s[0] == '!' && s.size() > 1 && s[1] == '%')) {
            o.kind = K_REG;
            o.neg = s[0] == '!';
            o.reg = reg(o.neg ? s.substr(1) : s);
            if (o.reg < 0) fail("unknown register " + s + " in '" + in.text + "'");
            if (o.neg && k_->reg_types[o.reg] != PRED) fail("only predicates can be negated: '" + in.text + "'");
            return o;
        }
        if (parse_literal(s, o)) return o;
        // a symbol: its address, or a label
        auto sym = symbols_.find(s);
        if (sym != symbols_.end()) {
            o.kind = K_IMM;
            o.sym_space = sym->second.space;
            if (sym->second.addr == ~0ull) o.off = int64_t(1) << 40;
            else o.imm[0] = sym->second.addr;
            return o;
        }
        // a register name without % (scoped helper names such as "low" are declared with one)
        int r = reg(s);
        if (r >= 0) {
            o.kind = K_REG;
            o.reg = r;
            return o;
        }
        o.kind = K_LABEL;
        return o;
    }

    void decode(const std::string& stmt, int line);
};

// ---- decoding ------------------------------------------------------------------------------------

struct Mods {
    std::vector<std::string> toks;
    bool take(const char* t) {
        auto it = std::find(toks.begin(), toks.end(), t);
        if (it == toks.end()) return false;
        toks.erase(it);
        return true;
    }
    std::vector<Ty> types() {
        std::vector<Ty> out;
        for (auto it = toks.begin(); it != toks.end();) {
            Ty t = ty_of(*it);
            if (t != T_NONE) {
                out.push_back(t);
                it = toks.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }
};

void Parser::decode(const std::string& stmt_in, int line) {
    Insn in;
    in.line = line;
    std::string stmt = stmt_in;
    in.text = stmt;
    if (stmt[0] == '@') {
        size_t sp = stmt.find_first_of(" \t");
        std::string g = stmt.substr(1, sp - 1);
        if (!g.empty() && g[0] == '!') in.guard_neg = true, g = g.substr(1);
        in.guard = reg(g);
        if (in.guard < 0) fail("unknown predicate " + g);
        stmt = trim(stmt.substr(sp));
    }
    size_t sp = stmt.find_first_of(" \t");
    std::string opcode = stmt.substr(0, sp);
    std::string operands = sp == std::string::npos ? "" : trim(stmt.substr(sp));
    Mods m;
    {
        std::string cur;
        for (char c : opcode + ".") {
            if (c == '.') m.toks.push_back(cur), cur.clear();
            else cur.push_back(c);
        }
    }
    std::string base = m.toks[0];
    m.toks.erase(m.toks.begin());
    auto bad = [&]() { fail("unsupported instruction '" + in.text + "'"); };

    // generic modifiers
    auto take_rnd = [&]() {
        const char* names[] = {"", "rn", "rz", "rm", "rp", "rni", "rzi", "rmi", "rpi"};
        for (int i = 1; i <= 8; ++i)
            if (m.take(names[i])) in.rnd = static_cast<Rnd>(i);
    };
    auto take_space = [&]() {
        if (m.take("global")) in.space = SP_GLOBAL;
        else if (m.take("shared") || m.take("shared::cta")) in.space = SP_SHARED;
        else if (m.take("local")) in.space = SP_LOCAL;
        else if (m.take("param")) in.space = SP_PARAM;
        else if (m.take("const")) in.space = SP_CONST;
    };
    auto take_hints = [&]() {
        for (auto it = m.toks.begin(); it != m.toks.end();) {
            if (it->rfind("L1::", 0) == 0 || it->rfind("L2::", 0) == 0) {
                if (*it == "L2::cache_hint") fail("cache-hint operands are not supported: '" + in.text + "'");
                it = m.toks.erase(it);
            } else {
                ++it;
            }
        }
    };
    if (m.take("ftz")) in.flags |= F_FTZ;
    if (m.take("sat")) in.flags |= F_SAT;
    if (m.take("satfinite")) in.flags |= F_SATFINITE;
    if (m.take("relu")) in.flags |= F_RELU;

    static const std::map<std::string, Op> simple = {
        {"mov", O_MOV}, {"add", O_ADD}, {"sub", O_SUB}, {"mul", O_MUL}, {"mad", O_MAD}, {"fma", O_FMA},
        {"div", O_DIV}, {"rem", O_REM}, {"min", O_MIN}, {"max", O_MAX}, {"abs", O_ABS}, {"neg", O_NEG},
        {"and", O_AND}, {"or", O_OR}, {"xor", O_XOR}, {"not", O_NOT}, {"cnot", O_CNOT}, {"shl", O_SHL},
        {"shr", O_SHR}, {"bfi", O_BFI}, {"bfe", O_BFE}, {"popc", O_POPC}, {"clz", O_CLZ}, {"brev", O_BREV},
        {"prmt", O_PRMT}, {"lop3", O_LOP3}, {"shf", O_SHF}, {"copysign", O_COPYSIGN}, {"rcp", O_RCP},
        {"sqrt", O_SQRT}, {"rsqrt", O_RSQRT}, {"ex2", O_EX2}, {"lg2", O_LG2}, {"sin", O_SIN}, {"cos", O_COS},
        {"tanh", O_TANH}, {"setp", O_SETP}, {"selp", O_SELP}, {"cvt", O_CVT}, {"cvta", O_CVTA}, {"ld", O_LD},
        {"st", O_ST}, {"bra", O_BRA}, {"ret", O_RET}, {"exit", O_RET}, {"shfl", O_SHFL}, {"atom", O_ATOM},
        {"red", O_ATOM}, {"ldmatrix", O_LDMATRIX}, {"mma", O_MMA}, {"membar", O_NOP}, {"fence", O_NOP}};

    auto take_sem = [&]() {
        for (const char* w : {"release", "acquire", "relaxed", "cta", "cluster"}) m.take(w);
    };
    if (base == "mbarrier") {
        in.op = O_MBAR;
        if (m.take("init")) in.sub = MB_INIT;
        else if (m.take("arrive")) in.sub = m.take("expect_tx") ? MB_ARRIVE_TX : MB_ARRIVE;
        else if (m.take("expect_tx")) in.sub = MB_EXPECT_TX;
        else if (m.take("complete_tx")) in.sub = MB_COMPLETE_TX;
        else if (m.take("try_wait")) in.sub = MB_TRY_WAIT;
        else if (m.take("test_wait")) in.sub = MB_TEST_WAIT;
        else if (m.take("inval")) in.sub = MB_INVAL;
        else bad();
        if ((in.sub == MB_TRY_WAIT || in.sub == MB_TEST_WAIT) && !m.take("parity")) bad();  // only the parity form
        take_sem();
        if (!(m.take("shared") || m.take("shared::cta") || m.take("shared::cluster")) || !m.take("b64")) bad();
        in.space = SP_SHARED;
    } else if (base == "cp" && m.toks.size() > 1 && m.toks[1] == "bulk") {
        m.take("async"), m.take("bulk");
        if (!m.take("tensor") || !m.take("2d") || !m.take("shared::cluster") || !m.take("global") ||
            !m.take("mbarrier::complete_tx::bytes"))
            bad();
        m.take("tile");
        in.op = O_TMA;
    } else if (base == "wgmma") {
        if (m.take("fence")) in.op = O_WG_FENCE;
        else if (m.take("commit_group")) in.op = O_WG_COMMIT;
        else if (m.take("wait_group")) in.op = O_WG_WAIT;
        else if (m.take("mma_async")) in.op = O_WGMMA;
        else bad();
        if (!m.take("sync") || !m.take("aligned")) bad();
        if (in.op == O_WGMMA) {
            unsigned n = 0;
            for (auto it = m.toks.begin(); it != m.toks.end(); ++it)
                if (std::sscanf(it->c_str(), "m64n%uk16", &n) == 1 && *it == "m64n" + std::to_string(n) + "k16") {
                    m.toks.erase(it);
                    break;
                }
            if (n < 8 || n > 256 || n % 8) bad();
            in.n = static_cast<uint16_t>(n);
            auto ts = m.types();
            if (ts.size() != 3 || ts[0] != F32 || ts[1] != ts[2] || (ts[1] != F16 && ts[1] != BF16)) bad();
            in.t = F32, in.ta = in.tb = ts[1];
        }
    } else if (base == "fence" && !m.toks.empty() && m.toks[0] == "proxy") {
        m.toks.clear();
        in.op = stmt.find("proxy.async") != std::string::npos ? O_FENCE_PROXY : O_NOP;
    } else if (base == "setmaxnreg") {
        in.op = O_SETMAXNREG;
        if (m.take("inc")) in.sub = 1;
        else if (m.take("dec")) in.sub = 0;
        else bad();
        if (!m.take("sync") || !m.take("aligned") || !m.take("u32")) bad();
    } else if (base == "elect") {
        if (!m.take("sync")) bad();
        in.op = O_ELECT;
        in.flags |= F_COLLECTIVE;
    } else if (base == "bar" || base == "barrier") {
        m.take("aligned");
        if (m.take("warp")) {
            if (!m.take("sync")) bad();
            in.op = O_BARWARP;
            in.flags |= F_COLLECTIVE;
        } else {
            if (!m.take("sync") && !(base == "bar" && m.toks.empty())) bad();
            in.op = O_BAR;
        }
    } else if (base == "wmma") {
        if (m.take("load")) in.op = O_WMMA_LOAD;
        else if (m.take("mma")) in.op = O_WMMA_MMA;
        else if (m.take("store")) in.op = O_WMMA_STORE;
        else bad();
        if (!m.take("sync") || !m.take("aligned") || !m.take("m16n16k16")) bad();
        in.flags |= F_COLLECTIVE;
        if (in.op == O_WMMA_LOAD) {
            if (m.take("a")) in.sub = 0;
            else if (m.take("b")) in.sub = 1;
            else if (m.take("c")) in.sub = 2;
            else bad();
        } else if (in.op == O_WMMA_STORE && !m.take("d")) {
            bad();
        }
        // layouts in order of appearance
        std::vector<uint8_t> lay;
        for (auto it = m.toks.begin(); it != m.toks.end();) {
            if (*it == "row" || *it == "col") {
                lay.push_back(*it == "col");
                it = m.toks.erase(it);
            } else {
                ++it;
            }
        }
        if (in.op == O_WMMA_MMA ? lay.size() != 2 : lay.size() != 1) bad();
        in.layout_a = lay[0];
        in.layout_b = lay.size() > 1 ? lay[1] : 0;
        take_space();
        auto ts = m.types();
        if (in.op == O_WMMA_MMA) {
            if (ts.size() != 2) bad();
            in.t = ts[0], in.t2 = ts[1], in.ta = in.tb = F16;
        } else {
            if (ts.size() != 1) bad();
            in.t = ts[0];
        }
    } else if (base == "cp") {
        if (!m.take("async")) bad();
        if (m.take("commit_group")) in.op = O_CP_COMMIT;
        else if (m.take("wait_group")) in.op = O_CP_WAIT;
        else if (m.take("wait_all")) in.op = O_CP_WAITALL;
        else {
            in.op = O_CPASYNC;
            if (m.take("ca")) in.sub = 0;
            else if (m.take("cg")) in.sub = 1;
            else bad();
            take_hints();
            if (!(m.take("shared") || m.take("shared::cta")) || !m.take("global")) bad();
        }
    } else {
        auto it = simple.find(base);
        if (it == simple.end()) bad();
        in.op = it->second;
        take_rnd();
        take_space();
        take_hints();
        if (m.take("approx")) in.flags |= F_APPROX;
        if (m.take("full")) in.flags |= F_FULL;
        if (m.take("wide")) in.flags |= F_WIDE;
        if (in.op != O_SETP) {
            if (m.take("lo")) in.flags |= F_LO;
            if (m.take("hi")) in.flags |= F_HI;
        }
        if (m.take("nc")) in.space = SP_GLOBAL;
        m.take("uni");
        m.take("volatile");
        m.take("relaxed");
        m.take("gpu");
        m.take("cta");
        m.take("sys");
        if (m.take("to")) in.flags |= F_TO;
        if (m.take("v2")) in.vec = 2;
        if (m.take("v4")) in.vec = 4;
        switch (in.op) {
            case O_SETP: {
                static const char* cmps[] = {"eq", "ne", "lt", "le", "gt", "ge", "lo", "ls", "hi", "hs", "equ", "neu",
                                             "ltu", "leu", "gtu", "geu", "num", "nan"};
                bool found = false;
                for (int i = 0; i < 18 && !found; ++i)
                    if (m.take(cmps[i])) in.cmp = static_cast<uint8_t>(i), found = true;
                if (!found) bad();
                if (m.take("and")) in.boolop = 1;
                else if (m.take("or")) in.boolop = 2;
                else if (m.take("xor")) in.boolop = 3;
                break;
            }
            case O_SHFL: {
                if (!m.take("sync")) bad();
                const char* modes[] = {"up", "down", "bfly", "idx"};
                bool found = false;
                for (int i = 0; i < 4 && !found; ++i)
                    if (m.take(modes[i])) in.sub = static_cast<uint8_t>(i), found = true;
                if (!found) bad();
                in.flags |= F_COLLECTIVE;
                break;
            }
            case O_ATOM: {
                if (base == "red") in.flags |= F_SHR;  // reduction: no destination
                const char* aops[] = {"add", "min", "max", "exch", "cas", "and", "or", "xor", "inc", "dec"};
                bool found = false;
                for (int i = 0; i < 10 && !found; ++i)
                    if (m.take(aops[i])) in.sub = static_cast<uint8_t>(i), found = true;
                if (!found) bad();
                break;
            }
            case O_LDMATRIX: {
                if (!m.take("sync") || !m.take("aligned") || !m.take("m8n8")) bad();
                if (m.take("x1")) in.sub = 1;
                else if (m.take("x2")) in.sub = 2;
                else if (m.take("x4")) in.sub = 4;
                else bad();
                if (m.take("trans")) in.flags |= F_TRANS;
                if (in.space != SP_SHARED) bad();
                in.flags |= F_COLLECTIVE;
                break;
            }
            case O_MMA: {
                if (!m.take("sync") || !m.take("aligned") || !m.take("m16n8k16") || !m.take("row") || !m.take("col")) bad();
                in.flags |= F_COLLECTIVE;
                break;
            }
            case O_SHF:
                if (m.take("l")) in.flags &= ~F_SHR;
                else if (m.take("r")) in.flags |= F_SHR;
                else bad();
                if (m.take("wrap")) in.flags |= F_WRAP;
                else if (!m.take("clamp")) bad();
                break;
            case O_CVTA:
                if (in.space != SP_GLOBAL && in.space != SP_SHARED && in.space != SP_LOCAL && in.space != SP_PARAM) bad();
                break;
            case O_NOP:
                m.toks.clear();
                break;
            default:
                break;
        }
        auto ts = m.types();
        if (in.op == O_MMA) {
            if (ts.size() != 4 || ts[0] != F32 || ts[3] != F32 || ts[1] != ts[2] || (ts[1] != F16 && ts[1] != BF16)) bad();
            in.t = F32, in.ta = ts[1], in.tb = ts[2], in.t2 = F32;
        } else {
            if (ts.size() > 2) bad();
            if (!ts.empty()) in.t = ts[0];
            if (ts.size() > 1) in.t2 = ts[1];
            if (in.op == O_CVT && ts.size() != 2) bad();
        }
    }
    if (!m.toks.empty()) bad();

    std::vector<std::string> ops = operands.empty() ? std::vector<std::string>{} : split_top(operands, ',');
    if (in.op == O_TMA) {  // [dst], [map, {c0, c1}], [mbar]: the map operand becomes two
        if (ops.size() != 3 || ops[1].size() < 2 || ops[1].front() != '[') bad();
        auto inner = split_top(ops[1].substr(1, ops[1].rfind(']') - 1), ',');
        if (inner.size() != 2) bad();
        ops = {ops[0], "[" + inner[0] + "]", inner[1], ops[2]};
    }
    if (ops.size() > 8) bad();
    in.nops = static_cast<uint8_t>(ops.size());
    for (size_t i = 0; i < ops.size(); ++i) in.ops[i] = operand(ops[i], in);
    if (in.op == O_BRA) {
        if (in.nops != 1 || in.ops[0].kind != K_LABEL) bad();
        label_refs_.push_back({static_cast<int>(k_->code.size()), ops[0]});
    } else {
        for (int i = 0; i < in.nops; ++i)
            if (in.ops[i].kind == K_LABEL) fail("unknown operand '" + ops[i] + "' in '" + in.text + "'");
    }
    auto ok = [&](bool c) {
        if (!c) fail("unsupported operands in '" + in.text + "'");
    };
    if (in.op == O_TMA)
        ok(in.ops[0].kind == K_ADDR && in.ops[1].kind == K_ADDR && in.ops[2].kind == K_VEC && in.ops[2].count == 2 &&
           in.ops[3].kind == K_ADDR);
    if (in.op == O_MBAR) {
        static const uint8_t counts[][2] = {{0, 0}, {2, 2}, {2, 3}, {3, 3}, {2, 2}, {2, 2}, {3, 4}, {3, 4}, {1, 1}};
        ok(in.nops >= counts[in.sub][0] && in.nops <= counts[in.sub][1]);
        int a = (in.sub == MB_ARRIVE || in.sub == MB_ARRIVE_TX || in.sub == MB_TRY_WAIT || in.sub == MB_TEST_WAIT) ? 1 : 0;
        ok(in.ops[a].kind == K_ADDR);
        if (a) ok(in.ops[0].kind == K_REG || in.ops[0].kind == K_SINK);
    }
    if (in.op == O_WGMMA) {
        bool rs = in.nops == 7 && in.ops[1].kind == K_VEC;
        ok((in.nops == 8 || rs) && in.ops[0].kind == K_VEC && in.ops[0].count == in.n / 2);
        if (rs) ok(in.ops[1].count == 4);
        for (int i = 4; i < in.nops; ++i) ok(in.ops[i].kind == K_IMM);
    }
    if (in.op == O_WG_WAIT || in.op == O_SETMAXNREG) ok(in.nops == 1 && in.ops[0].kind == K_IMM);
    if (in.op == O_ELECT) ok(in.nops == 2 && (in.ops[0].kind == K_PAIR || in.ops[0].kind == K_SINK || in.ops[0].kind == K_REG));
    if (in.op == O_BAR && in.nops > 1) fail("bar.sync with a thread count is not supported: '" + in.text + "'");
    if (in.op == O_CPASYNC) {
        // cp.async ..., cp-size{, src-size | ignore-src predicate}
        if (in.nops < 3 || in.nops > 4 || in.ops[0].kind != K_ADDR || in.ops[1].kind != K_ADDR) bad();
        if (in.nops == 4 && in.ops[3].kind == K_REG && k_->reg_types[in.ops[3].reg] == PRED) in.flags |= F_IGNORE_SRC;
    }
    k_->code.push_back(std::move(in));
}

}  // namespace

std::unique_ptr<Module> Module::parse(const std::string& text, std::string* error) {
    try {
        Parser p(text);
        return p.parse();
    } catch (const ParseError& e) {
        if (error) *error = e.what();
        return nullptr;
    } catch (const std::exception& e) {
        if (error) *error = std::string("malformed module: ") + e.what();
        return nullptr;
    }
}

std::vector<std::string> decoded_forms(const Module& module) {
    std::set<std::string> forms;
    for (auto& k : module.kernels)
        for (auto& in : k->code) {
            std::string t = in.text;
            if (t[0] == '@') t = trim(t.substr(t.find_first_of(" \t")));
            t = t.substr(0, t.find_first_of(" \t"));
            if (t[0] != '(') forms.insert(t);
        }
    return {forms.begin(), forms.end()};
}

// ---- arithmetic helpers ------------------------------------------------------------------------------

namespace {

float ftz32(float f) {
    if (std::fpclassify(f) == FP_SUBNORMAL) return std::signbit(f) ? -0.0f : 0.0f;
    return f;
}

// x = d + e exactly (|e| <= ulp(d) / 2); rounds x to float in `mode`.
float round_f32(double d, double e, Rnd mode) {
    float f = static_cast<float>(d);
    if (std::isnan(d) || std::isinf(d)) return f;
    if (mode == RN || mode == R_NONE || mode == RNI) {
        if (e != 0 && !std::isinf(f)) {
            float g = std::nextafter(f, e > 0 ? INFINITY : -INFINITY);
            if (!std::isinf(g) && (static_cast<double>(f) + static_cast<double>(g)) / 2 == d) f = g;
        }
        return f;
    }
    double diff = static_cast<double>(f) - d;
    int cmp = diff != 0 ? (diff > 0 ? 1 : -1) : (e > 0 ? -1 : e < 0 ? 1 : 0);  // sign of f - x
    if (std::isinf(f)) cmp = f > 0 ? 1 : -1;
    bool positive = d > 0 || (d == 0 && e > 0);
    if (mode == RZ || mode == RZI) {
        if (cmp > 0 && positive) f = std::nextafter(f, -INFINITY);
        if (cmp < 0 && !positive) f = std::nextafter(f, INFINITY);
    } else if (mode == RM || mode == RMI) {
        if (cmp > 0) f = std::nextafter(f, -INFINITY);
    } else if (mode == RP || mode == RPI) {
        if (cmp < 0) f = std::nextafter(f, INFINITY);
    }
    return f;
}

void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
    if (std::isinf(s) || std::isnan(s)) e = 0;
}

// f32 -> f16 bits in `mode` (.rn .rz .rm .rp); NaN -> 0x7FFF.
uint16_t f32_to_f16(float f, Rnd mode, bool satfinite = false, bool relu = false) {
    if (std::isnan(f)) return 0x7FFF;
    if (relu && (f < 0 || (f == 0 && std::signbit(f)))) return 0;
    uint16_t sign = std::signbit(f) ? 0x8000 : 0;
    double x = std::fabs(static_cast<double>(f));
    if (std::isinf(f)) return satfinite ? (sign | 0x7BFF) : (sign | 0x7C00);
    if (x == 0) return sign;
    int e;
    std::frexp(x, &e);  // x = m * 2^e, m in [0.5, 1)
    int E = std::max(e - 1, -14);
    double ulp = std::ldexp(1.0, E - 10);
    double n = x / ulp;  // exact
    double fl = std::floor(n), frac = n - fl;
    bool up;
    bool neg = sign != 0;
    switch (mode) {
        case RZ: up = false; break;
        case RM: up = neg && frac > 0; break;
        case RP: up = !neg && frac > 0; break;
        default: up = frac > 0.5 || (frac == 0.5 && std::fmod(fl, 2.0) != 0); break;
    }
    double r = (fl + (up ? 1 : 0)) * ulp;
    if (r > 65504.0) {
        bool to_inf = !satfinite && (mode == RN || mode == R_NONE || (mode == RP && !neg) || (mode == RM && neg));
        return sign | (to_inf ? 0x7C00 : 0x7BFF);
    }
    if (r < std::ldexp(1.0, -14)) return sign | static_cast<uint16_t>(r / std::ldexp(1.0, -24));
    int e2;
    std::frexp(r, &e2);
    int E2 = e2 - 1;
    uint16_t mant = static_cast<uint16_t>(r / std::ldexp(1.0, E2 - 10) - 1024);
    return sign | static_cast<uint16_t>((E2 + 15) << 10) | mant;
}

float f16_to_f32(uint16_t h) {
    int e = (h >> 10) & 0x1F, man = h & 0x3FF;
    float s = (h & 0x8000) ? -1.0f : 1.0f;
    if (e == 31) return man ? std::nanf("") : s * INFINITY;
    if (e == 0) return s * std::ldexp(static_cast<float>(man), -24);
    return s * std::ldexp(static_cast<float>(man + 1024), e - 25);
}

uint16_t f32_to_bf16(float f, Rnd mode) {
    uint32_t b = static_cast<uint32_t>(f32_bits(f));
    if (std::isnan(f)) return 0x7FFF;
    uint32_t low = b & 0xFFFF, hi = b >> 16;
    bool neg = b >> 31;
    bool up;
    switch (mode) {
        case RZ: up = false; break;
        case RM: up = neg && low; break;
        case RP: up = !neg && low; break;
        default: up = low > 0x8000 || (low == 0x8000 && (hi & 1)); break;
    }
    return static_cast<uint16_t>(hi + (up ? 1 : 0));
}
float bf16_to_f32(uint16_t h) { return as_f32(static_cast<uint64_t>(h) << 16); }

uint64_t mask_of(unsigned bytes) { return bytes >= 8 ? ~0ull : ((1ull << (8 * bytes)) - 1); }

int64_t sext(uint64_t v, unsigned bytes) {
    if (bytes >= 8) return static_cast<int64_t>(v);
    unsigned sh = 64 - 8 * bytes;
    return static_cast<int64_t>(v << sh) >> sh;
}

// ---- execution ------------------------------------------------------------------------------------------

enum State : uint8_t { RUNNING, AT_BAR, AT_WARP, EXITED, AT_MBAR, AT_WG };

struct AsyncCopy {
    int64_t group;  // -1: not committed yet
    uint32_t dst;
    uint8_t bytes;
    uint8_t data[16];
    uint64_t src = 0;  // global source, read until the covering wait (src_bytes 0: nothing read)
    uint8_t src_bytes = 0;
    const Insn* insn = nullptr;
};


struct Thread {
    uint64_t* r = nullptr;
    int pc = 0;
    State state = RUNNING;
    unsigned tid = 0;  // linear index in the block
    std::vector<uint8_t> local;
    std::vector<uint8_t> frag;  // per register: the wmma A/B fragment layout it was loaded with
    std::vector<AsyncCopy> async;
    int64_t groups_committed = 0;
    // Hopper state. rflag per register: bit 0 a wgmma using it is in flight (not yet covered by
    // this thread's wait_group), bit 1 accessed since this thread's last wgmma.fence.
    mutable std::vector<uint8_t> rflag;
    bool wg_fenced = false;
    int64_t wg_committed = 0;
    std::vector<std::pair<int64_t, size_t>> wg_ops;  // (group, index into the block's async ops), -1 uncommitted
    uint32_t proxy_seq = 0;                           // shared-store sequence number at its last fence.proxy.async
    uint32_t wait_bar = 0, wait_parity = 0;           // AT_MBAR: the barrier and parity waited for
};

struct MBarrier {
    uint32_t phase = 0;
    int64_t pending = 0, expected = 0, tx = 0;
};

// One asynchronous operation of the block in flight or done: a TMA load or a wgmma.
struct AsyncOp {
    bool tma = true, done = false;
    unsigned tid = 0;  // issuing thread (TMA) or first thread of the warpgroup (wgmma)
    const Insn* insn = nullptr;
    // TMA
    uint32_t dst = 0, bar = 0;
    int32_t coord[2] = {0, 0};
    TensorMapImage map;
    // wgmma
    unsigned wg = 0;
    bool scale_d = true, rs = false;
    int neg_a = 1, neg_b = 1;
    std::vector<uint32_t> a_addr, b_addr;  // element addresses: A row-major 64 x 16, B N x 16 (n, k)
};

struct Shadow {
    int32_t writer = -1;
    uint32_t wepoch = 0;
    int32_t reader = -1;  // -2: several
    uint32_t repoch = 0;
    uint32_t wgen = 0, rgen = 0;  // bar.warp.sync generation of the writer's / readers' warp then
    int32_t rwarp = -1;           // the warp of every reader in this epoch, -2 several warps
    uint16_t pending = 0;         // cp.async copies in flight to this byte
    uint16_t tma = 0;             // TMA copies in flight to this byte
    uint16_t wg_readers = 0;      // wgmma in flight reading this byte
    uint32_t wseq = 0;            // sequence number of the last generic write
};

constexpr uint64_t kSharedWindow = 0x0000100000000000ull;  // generic addresses of shared memory
constexpr uint64_t kLocalWindow = 0x0000200000000000ull;   // generic addresses of local memory
constexpr uint64_t kParamWindow = 0x0000300000000000ull;   // generic addresses of kernel parameters

class Exec {
public:
    Exec(const Kernel& k, const Launch& l, void* const* params, Memory& mem) : k_(k), l_(l), mem_(mem) {
        param_buf_.assign(k.param_bytes + 8, 0);
        for (size_t i = 0; i < k.params.size(); ++i) {
            if (!params || !params[i]) throw Fault("error", k.name + ": parameter " + std::to_string(i) + " missing");
            std::memcpy(param_buf_.data() + k.params[i].offset, params[i], k.params[i].size);
        }
        nthreads_ = l.block[0] * l.block[1] * l.block[2];
        for (auto& in : k.code) track_regs_ |= in.op == O_WGMMA;
        shared_size_ = k.shared_static;
        if (l.dynamic_shared) shared_size_ = (k.shared_static + k.dyn_align - 1) / k.dyn_align * k.dyn_align + l.dynamic_shared;
    }

    void run() {
        for (unsigned bz = 0; bz < l_.grid[2]; ++bz)
            for (unsigned by = 0; by < l_.grid[1]; ++by)
                for (unsigned bx = 0; bx < l_.grid[0]; ++bx) run_block(bx, by, bz);
    }

private:
    const Kernel& k_;
    const Launch& l_;
    Memory& mem_;
    std::vector<uint8_t> param_buf_;
    unsigned nthreads_ = 0;
    unsigned shared_size_ = 0;
    unsigned block_idx_[3] = {0, 0, 0};
    std::vector<uint8_t> shared_;
    std::vector<Shadow> shadow_;
    uint32_t epoch_ = 1;
    std::vector<uint64_t> regs_;
    std::vector<Thread> threads_;
    Thread* cur_ = nullptr;
    const Insn* cur_insn_ = nullptr;
    bool atomic_ = false;  // the access being tracked is an atomic operation
    std::vector<uint32_t> wgen_;  // per warp: bar.warp.sync executed so far
    // cp.async copies in flight that read a source, and the hull [lo, hi) of their sources
    unsigned sources_ = 0;
    uint64_t sources_lo_ = UINT64_MAX, sources_hi_ = 0;
    // Hopper state of the block
    std::map<uint32_t, MBarrier> mbars_;
    std::vector<AsyncOp> ops_;
    std::vector<size_t> pending_ops_;
    std::vector<unsigned> wg_regs_;  // setmaxnreg: registers per thread of each warpgroup
    uint64_t rng_ = 0;
    mutable uint32_t seq_ = 0;
    bool track_regs_ = false;
    struct UninitRead {
        uint32_t addr = 0;
        unsigned tid = 0;
        const Insn* insn = nullptr;
    } uninit_;

    void check_uninit() {
        if (uninit_.insn)
            report("uninitialised", "read of shared address " + hex(uninit_.addr) + " that no thread of the block has written",
                   uninit_.tid, uninit_.insn);
    }

    // ---- reports ----
    std::string who(unsigned tid) const {
        unsigned x = tid % l_.block[0], y = (tid / l_.block[0]) % l_.block[1], z = tid / (l_.block[0] * l_.block[1]);
        char buf[96];
        std::snprintf(buf, sizeof buf, "block (%u,%u,%u) thread (%u,%u,%u)", block_idx_[0], block_idx_[1], block_idx_[2], x, y, z);
        return buf;
    }
    [[noreturn]] void report(const std::string& kind, const std::string& what, unsigned tid, const Insn* in) const {
        std::string msg = "kernel " + k_.name + ", " + who(tid);
        if (in) {
            std::string text = in->text.size() > 120 ? in->text.substr(0, 100) + " ..." : in->text;
            msg += ", instruction '" + text + "' (line " + std::to_string(in->line) + ")";
        }
        msg += ": " + what;
        throw Fault(kind, msg);
    }
    [[noreturn]] void error(const std::string& what) const { report("error", what, cur_ ? cur_->tid : 0, cur_insn_); }
    static std::string hex(uint64_t a) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(a));
        return buf;
    }

    // ---- memory ----
    // Host pointer for an access of `bytes` at `addr` in `space` by thread `t`; runs the checks.
    uint8_t* access(Space space, uint64_t addr, unsigned bytes, bool write, Thread& t, unsigned align) {
        if (align > 1 && addr % align) {
            report("memcheck", std::string(write ? "write" : "read") + " of " + std::to_string(bytes) + " bytes at " +
                                   space_name(space) + " address " + hex(addr) + " not aligned to " + std::to_string(align),
                   t.tid, cur_insn_);
        }
        if (space == SP_GENERIC) {
            if (addr >= kSharedWindow && addr < kSharedWindow + (1ull << 32)) space = SP_SHARED, addr -= kSharedWindow;
            else if (addr >= kLocalWindow && addr < kLocalWindow + (1ull << 32)) space = SP_LOCAL, addr -= kLocalWindow;
            else if (addr >= kParamWindow && addr < kParamWindow + (1ull << 32)) space = SP_PARAM, addr -= kParamWindow;
            else space = SP_GLOBAL;
        }
        switch (space) {
            case SP_GLOBAL: {
                uint8_t* p = mem_.translate(addr, bytes);
                if (!p)
                    report("memcheck", std::string(write ? "write" : "read") + " of " + std::to_string(bytes) +
                                           " bytes at global address " + hex(addr) + " outside every live allocation",
                           t.tid, cur_insn_);
                if (write && addr < sources_hi_ && addr + bytes > sources_lo_) check_source_write(addr, bytes, t.tid);
                return p;
            }
            case SP_SHARED: {
                if (addr + bytes > shared_size_ || addr > shared_size_)
                    report("memcheck", std::string(write ? "write" : "read") + " of " + std::to_string(bytes) +
                                           " bytes at shared address " + hex(addr) + " outside the " +
                                           std::to_string(shared_size_) + " bytes of shared memory",
                           t.tid, cur_insn_);
                for (unsigned i = 0; i < bytes; ++i) track(static_cast<uint32_t>(addr + i), write, t.tid);
                return shared_.data() + addr;
            }
            case SP_LOCAL: {
                if (addr + bytes > t.local.size())
                    report("memcheck", "local access at " + hex(addr) + " outside the frame", t.tid, cur_insn_);
                return t.local.data() + addr;
            }
            case SP_PARAM: {
                if (write || addr + bytes > k_.param_bytes)
                    report("memcheck", "parameter access at offset " + hex(addr) + " outside the parameters", t.tid, cur_insn_);
                return param_buf_.data() + addr;
            }
            default:
                error("constant memory is not supported");
        }
    }
    static const char* space_name(Space s) {
        switch (s) {
            case SP_GLOBAL: return "global";
            case SP_SHARED: return "shared";
            case SP_LOCAL: return "local";
            case SP_PARAM: return "param";
            default: return "generic";
        }
    }

    static constexpr int32_t kAtomic = INT32_MAX;  // Shadow::writer after atomic operations
    std::string writer_name(int32_t w) const { return w == kAtomic ? std::string("atomic operations") : who(w); }

    // Whether an earlier access by thread `other` (of a warp at bar.warp.sync generation `gen`
    // then) is ordered before one by `tid` now: a bar.warp.sync of their common warp came between.
    bool warp_ordered(int32_t other, uint32_t gen, unsigned tid) const {
        return other >= 0 && other != kAtomic && static_cast<unsigned>(other) / 32 == tid / 32 && wgen_[tid / 32] > gen;
    }
    bool readers_ordered(const Shadow& s, unsigned tid) const {
        return s.rwarp == static_cast<int32_t>(tid / 32) && wgen_[tid / 32] > s.rgen;
    }

    // A global write inside the hull of the cp.async sources in flight: the copy may read its
    // source at any moment until the wait_group that covers it.
    void check_source_write(uint64_t addr, unsigned bytes, unsigned tid) const {
        for (const Thread& u : threads_)
            for (const AsyncCopy& c : u.async)
                if (c.src_bytes && c.src < addr + bytes && addr < c.src + c.src_bytes)
                    report("racecheck", "write to global address " + hex(addr) + ", the source of a cp.async by " + who(u.tid) +
                                            " ('" + c.insn->text + "', line " + std::to_string(c.insn->line) +
                                            "), before the wait_group that covers it",
                           tid, cur_insn_);
    }

    // The issue of a cp.async (or its zero fill) to shared byte `a` by `tid`: the copy may land at
    // any moment until its covering wait, so every access by another thread since the last barrier
    // must already be ordered before it (a barrier after the issue is too late). The landing is
    // checked again as a write by the issuing thread (track).
    void check_copy_issue(uint32_t a, unsigned tid) const {
        const Shadow& s = shadow_[a];
        if (s.pending) report("racecheck", "cp.async to shared address " + hex(a) + " already in flight", tid, cur_insn_);
        if (s.tma) report("async", "cp.async to shared address " + hex(a) + " while a TMA copy to it is in flight", tid, cur_insn_);
        if (s.wg_readers)
            report("async", "cp.async to shared address " + hex(a) + " while a wgmma reading it is in flight", tid, cur_insn_);
        if (s.writer >= 0 && s.wepoch == epoch_ && s.writer != static_cast<int32_t>(tid) && !warp_ordered(s.writer, s.wgen, tid))
            report("racecheck", "cp.async to shared address " + hex(a) + " written by " + writer_name(s.writer) +
                                    " with no barrier between that write and the copy's issue", tid, cur_insn_);
        if (s.repoch == epoch_ && s.reader != -1 && s.reader != static_cast<int32_t>(tid) && !readers_ordered(s, tid))
            report("racecheck", "cp.async to shared address " + hex(a) + " read by " +
                                    (s.reader == -2 ? std::string("several threads") : who(s.reader)) +
                                    " with no barrier between that read and the copy's issue", tid, cur_insn_);
    }

    void track(uint32_t a, bool write, unsigned tid) {
        Shadow& s = shadow_[a];
        if (s.tma)
            report("async", std::string(write ? "write to" : "read of") + " shared address " + hex(a) +
                                ", the destination of a TMA copy, before the mbarrier phase that covers it completed",
                   tid, cur_insn_);
        if (write && s.wg_readers)
            report("async", "write to shared address " + hex(a) + " while a wgmma reading it is in flight", tid, cur_insn_);
        if (write) s.wseq = ++seq_;
        if (s.pending)
            report("racecheck", std::string(write ? "write to" : "read of") + " shared address " + hex(a) +
                                    ", the destination of a cp.async, before the wait_group that covers it",
                   tid, cur_insn_);
        bool other_writer = s.writer >= 0 && s.wepoch == epoch_ && s.writer != static_cast<int32_t>(tid) &&
                            !warp_ordered(s.writer, s.wgen, tid);
        bool other_reader = s.repoch == epoch_ && s.reader != -1 && s.reader != static_cast<int32_t>(tid) &&
                            !readers_ordered(s, tid);
        std::string readers = s.reader == -2 ? std::string("several threads") : s.reader >= 0 ? who(s.reader) : "";
        uint32_t gen = wgen_[tid / 32];
        if (atomic_) {  // atomics do not race with each other, only with plain accesses
            if (s.writer < 0 && !uninit_.insn) uninit_ = {a, tid, cur_insn_};
            if (other_writer && s.writer != kAtomic)
                report("racecheck", "atomic on shared address " + hex(a) + " written by " + who(s.writer) +
                                        " with no barrier between", tid, cur_insn_);
            if (other_reader)
                report("racecheck", "atomic on shared address " + hex(a) + " read by " + readers +
                                        " with no barrier between", tid, cur_insn_);
            s.writer = kAtomic;
            s.wepoch = epoch_;
            return;
        }
        if (write) {
            if (other_writer)
                report("racecheck", "write of shared address " + hex(a) + " also written by " + writer_name(s.writer) +
                                        " with no barrier between", tid, cur_insn_);
            if (other_reader)
                report("racecheck", "write of shared address " + hex(a) + " read by " + readers +
                                        " with no barrier between", tid, cur_insn_);
            s.writer = static_cast<int32_t>(tid);
            s.wepoch = epoch_;
            s.wgen = gen;
        } else {
            // reported at the next barrier unless another thread writes the byte first (a race then)
            if (s.writer < 0 && !uninit_.insn) uninit_ = {a, tid, cur_insn_};
            if (other_writer)
                report("racecheck", "read of shared address " + hex(a) + " written by " + writer_name(s.writer) +
                                        " with no barrier between", tid, cur_insn_);
            int32_t warp = static_cast<int32_t>(tid / 32);
            if (s.repoch != epoch_) {
                s.reader = static_cast<int32_t>(tid), s.repoch = epoch_, s.rwarp = warp, s.rgen = gen;
            } else {
                if (s.reader != static_cast<int32_t>(tid)) s.reader = -2;
                if (s.rwarp != warp) s.rwarp = -2;
                s.rgen = std::max(s.rgen, gen);
            }
        }
    }

    // ---- operands ----
    uint64_t imm(const Opnd& o, Ty t) const {
        if (t == F32) return o.imm[1];
        if (t == F64) return o.imm[2];
        return o.imm[0];
    }
    void reg_access(const Thread& th, int r, bool write) const {
        uint8_t& f = th.rflag[r];
        if (f & 1)
            report("async", std::string(write ? "write to" : "read of") + " register " + k_.reg_names[r] +
                                " while a wgmma using it is in flight (no wgmma.wait_group covers it)",
                   th.tid, cur_insn_);
        f |= 2;
    }
    uint64_t get(const Thread& th, const Opnd& o, Ty t) const {
        switch (o.kind) {
            case K_REG:
                if (track_regs_) reg_access(th, o.reg, false);
                return o.neg ? !th.r[o.reg] : th.r[o.reg];
            case K_IMM: return imm(o, t);
            default: throw Fault("error", "kernel " + k_.name + ": bad source operand in '" + cur_insn_->text + "'");
        }
    }
    void set(Thread& th, const Opnd& o, uint64_t v, Ty t) {
        if (o.kind == K_SINK) return;
        if (o.kind != K_REG) error("bad destination operand");
        if (track_regs_) reg_access(th, o.reg, true);
        th.r[o.reg] = v & mask_of(ty_bytes(t));
        th.frag[o.reg] = 0;
    }
    const Opnd& vec(const Opnd& o, int i) const { return k_.vecpool[static_cast<size_t>(o.off) + i]; }
    uint64_t addr_of(const Thread& th, const Opnd& o) const {
        uint64_t base = o.reg >= 0 ? th.r[o.reg] : 0;
        return base + static_cast<uint64_t>(o.off);
    }
    float f32(const Thread& th, const Opnd& o, bool ftz) const {
        float f = as_f32(get(th, o, F32));
        return ftz ? ftz32(f) : f;
    }
    double f64(const Thread& th, const Opnd& o) const { return as_f64(get(th, o, F64)); }

    // ---- block ----
    void run_block(unsigned bx, unsigned by, unsigned bz) {
        block_idx_[0] = bx, block_idx_[1] = by, block_idx_[2] = bz;
        shared_.assign(shared_size_ + 16, 0xA5);
        shadow_.assign(shared_size_ + 16, Shadow());
        wgen_.assign((nthreads_ + 31) / 32, 0);
        sources_ = 0, sources_lo_ = UINT64_MAX, sources_hi_ = 0;
        epoch_ = 1;
        uninit_ = UninitRead();
        mbars_.clear();
        ops_.clear();
        pending_ops_.clear();
        wg_regs_.assign((nthreads_ + 127) / 128, k_.maxnreg);
        rng_ = l_.schedule * 0x9E3779B97F4A7C15ull + (bx + 1) * 0xBF58476D1CE4E5B9ull + by * 0x94D049BB133111EBull + bz;
        seq_ = 0;
        int nr = k_.nregs;
        regs_.assign(static_cast<size_t>(nr) * nthreads_, 0);
        threads_.assign(nthreads_, Thread());
        unsigned nwarps = (nthreads_ + 31) / 32;
        for (unsigned i = 0; i < nthreads_; ++i) {
            Thread& t = threads_[i];
            t.r = regs_.data() + static_cast<size_t>(nr) * i;
            t.tid = i;
            t.local.assign(k_.local_bytes, 0);
            t.frag.assign(static_cast<size_t>(nr), 0);
            t.rflag.assign(static_cast<size_t>(nr), 0);
            uint64_t* r = t.r;
            r[0] = i % l_.block[0], r[1] = (i / l_.block[0]) % l_.block[1], r[2] = i / (l_.block[0] * l_.block[1]);
            r[3] = l_.block[0], r[4] = l_.block[1], r[5] = l_.block[2];
            r[6] = bx, r[7] = by, r[8] = bz;
            r[9] = l_.grid[0], r[10] = l_.grid[1], r[11] = l_.grid[2];
            r[12] = i % 32, r[13] = i / 32, r[14] = nwarps;
        }
        unsigned live = nthreads_;
        while (live) {
            for (Thread& t : threads_)
                if (t.state == RUNNING) step(t);
            if (l_.schedule)  // each operation in flight lands now with probability 1/2
                for (size_t i : std::vector<size_t>(pending_ops_))
                    if (!ops_[i].done && (next_random() & 1)) complete_op(i);
            live = 0;
            for (Thread& t : threads_) live += t.state != EXITED;
            if (!live) break;
            bool progress = wake_waiters();
            for (unsigned w = 0; w < nwarps; ++w) progress |= warp_collective(w);
            for (unsigned g = 0; g < (nthreads_ + 127) / 128; ++g) progress |= warpgroup_collective(g);
            if (progress) continue;
            unsigned at_bar = 0;
            for (Thread& t : threads_) at_bar += t.state == AT_BAR;
            if (at_bar == live) {
                if (live != nthreads_) {
                    for (Thread& t : threads_)
                        if (t.state == EXITED) {
                            for (Thread& u : threads_)
                                if (u.state == AT_BAR)
                                    report("error", "waits at bar.sync while " + who(t.tid) + " has exited", u.tid,
                                           &k_.code[u.pc]);
                        }
                }
                int pc = -1;
                for (Thread& t : threads_) {
                    if (pc < 0) pc = t.pc;
                    else if (t.pc != pc)
                        report("error", "waits at a different bar.sync than " + who(0) + " ('" + k_.code[pc].text + "')",
                               t.tid, &k_.code[t.pc]);
                }
                check_uninit();
                ++epoch_;
                for (Thread& t : threads_) t.state = RUNNING, ++t.pc;
                continue;
            }
            // nothing moves: an operation in flight must land first (the oldest)
            if (!pending_ops_.empty()) {
                complete_op(pending_ops_.front());
                continue;
            }
            for (Thread& t : threads_)
                if (t.state == AT_MBAR) {
                    const MBarrier& b = mbars_[t.wait_bar];
                    report("deadlock",
                           "waits for the phase of parity " + std::to_string(t.wait_parity) + " of the mbarrier at shared " +
                               hex(t.wait_bar) + " (phase " + std::to_string(b.phase) + ", " + std::to_string(b.pending) +
                               " of " + std::to_string(b.expected) + " arrivals pending, tx-count " + std::to_string(b.tx) +
                               ") and no thread or copy in flight can complete it",
                           t.tid, &k_.code[t.pc]);
                }
            for (Thread& t : threads_)
                if (t.state == AT_WG)
                    report("error", "waits at a warpgroup instruction that its warpgroup does not reach together", t.tid,
                           &k_.code[t.pc]);
            // deadlock: describe one waiting warp collective
            for (Thread& t : threads_)
                if (t.state == AT_WARP)
                    report("error", "waits at a warp-collective instruction that its warp does not reach together", t.tid,
                           &k_.code[t.pc]);
            error("no thread can proceed");
        }
        // copies still in flight complete when the block ends
        for (Thread& t : threads_) complete_async(t, INT64_MAX);
        while (!pending_ops_.empty()) complete_op(pending_ops_.front());
        check_uninit();
    }

    void step(Thread& t);
    bool warp_collective(unsigned w);
    bool warpgroup_collective(unsigned g);
    bool wake_waiters();
    uint64_t next_random() {
        uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t shared_addr(Thread& t, const Opnd& o, unsigned bytes, unsigned align);
    MBarrier& barrier(Thread& t, uint32_t a);
    void barrier_changed(MBarrier& b);
    bool exec_mbar(Thread& t, const Insn& in);
    void issue_tma(Thread& t, const Insn& in);
    void issue_wgmma(const Insn& in, std::vector<Thread*>& lanes);
    void exec_setmaxnreg(const Insn& in, unsigned g);
    void complete_op(size_t i);
    void complete_tma(AsyncOp& op);
    void complete_wgmma(AsyncOp& op);
    void wg_wait(Thread& t, int64_t below_group);
    void exec_shfl(const Insn& in, std::vector<Thread*>& lanes);
    void exec_ldmatrix(const Insn& in, std::vector<Thread*>& lanes);
    void exec_mma(const Insn& in, std::vector<Thread*>& lanes);
    void exec_wmma(const Insn& in, std::vector<Thread*>& lanes);
    void exec_cvt(Thread& t, const Insn& in);
    void exec_float(Thread& t, const Insn& in);
    void exec_int(Thread& t, const Insn& in);
    void exec_ldst(Thread& t, const Insn& in);
    void exec_atom(Thread& t, const Insn& in);
    void complete_async(Thread& t, int64_t below_group);
    bool compare(const Insn& in, uint64_t a, uint64_t b, Ty t) const;
};

bool Exec::compare(const Insn& in, uint64_t a, uint64_t b, Ty t) const {
    if (ty_float(t)) {
        double x, y;
        if (t == F32) {
            float fa = as_f32(a), fb = as_f32(b);
            if (in.flags & F_FTZ) fa = ftz32(fa), fb = ftz32(fb);
            x = fa, y = fb;
        } else if (t == F64) {
            x = as_f64(a), y = as_f64(b);
        } else {
            error("unsupported comparison type");
        }
        bool un = std::isnan(x) || std::isnan(y);
        switch (in.cmp) {
            case C_EQ: return !un && x == y;
            case C_NE: return !un && x != y;
            case C_LT: return !un && x < y;
            case C_LE: return !un && x <= y;
            case C_GT: return !un && x > y;
            case C_GE: return !un && x >= y;
            case C_EQU: return un || x == y;
            case C_NEU: return un || x != y;
            case C_LTU: return un || x < y;
            case C_LEU: return un || x <= y;
            case C_GTU: return un || x > y;
            case C_GEU: return un || x >= y;
            case C_NUM: return !un;
            case C_NAN: return un;
            default: error("comparison not defined for floats");
        }
    }
    unsigned n = ty_bytes(t);
    if (t == PRED) n = 1;
    bool s = ty_signed(t);
    uint64_t ua = a & mask_of(n), ub = b & mask_of(n);
    int64_t sa = sext(a, n), sb = sext(b, n);
    switch (in.cmp) {
        case C_EQ: return ua == ub;
        case C_NE: return ua != ub;
        case C_LT: return s ? sa < sb : ua < ub;
        case C_LE: return s ? sa <= sb : ua <= ub;
        case C_GT: return s ? sa > sb : ua > ub;
        case C_GE: return s ? sa >= sb : ua >= ub;
        case C_LO: return ua < ub;
        case C_LS: return ua <= ub;
        case C_HI: return ua > ub;
        case C_HS: return ua >= ub;
        default: error("comparison not defined for integers");
    }
}

void Exec::step(Thread& t) {
    const Insn* code = k_.code.data();
    for (;;) {
        const Insn& in = code[t.pc];
        cur_ = &t;
        cur_insn_ = &in;
        if (in.guard >= 0 && ((t.r[in.guard] != 0) == in.guard_neg)) {
            ++t.pc;
            continue;
        }
        switch (in.op) {
            case O_BRA: t.pc = static_cast<int>(in.ops[0].off); continue;
            case O_RET: t.state = EXITED; return;
            case O_BAR: t.state = AT_BAR; return;
            case O_NOP: break;
            case O_SHFL: case O_LDMATRIX: case O_MMA: case O_WMMA_LOAD: case O_WMMA_MMA: case O_WMMA_STORE:
            case O_BARWARP: case O_ELECT:
                t.state = AT_WARP;
                return;
            case O_WGMMA: case O_SETMAXNREG:
                t.state = AT_WG;
                return;
            case O_MBAR:
                if (!exec_mbar(t, in)) {
                    t.state = AT_MBAR;
                    return;
                }
                break;
            case O_TMA: issue_tma(t, in); break;
            case O_WG_FENCE:
                t.wg_fenced = true;
                for (auto& f : t.rflag) f &= 1;
                break;
            case O_WG_COMMIT:
                for (auto& op : t.wg_ops)
                    if (op.first < 0) op.first = t.wg_committed;
                ++t.wg_committed;
                break;
            case O_WG_WAIT: wg_wait(t, t.wg_committed - static_cast<int64_t>(in.ops[0].imm[0])); break;
            case O_FENCE_PROXY: t.proxy_seq = seq_; break;
            case O_SETP: {
                bool v = compare(in, get(t, in.ops[1], in.t), get(t, in.ops[2], in.t), in.t);
                const Opnd& d = in.ops[0];
                int p = d.kind == K_PAIR ? d.reg : d.reg, q = d.kind == K_PAIR ? d.reg2 : -1;
                bool r1 = v, r2 = !v;
                if (in.boolop) {
                    if (in.nops != 4) error("setp with a boolean operation needs a predicate source");
                    const Opnd& c = in.ops[3];
                    if (c.kind != K_REG) error("bad predicate operand");
                    bool cv = get(t, c, PRED) != 0;
                    auto comb = [&](bool x) { return in.boolop == 1 ? (x && cv) : in.boolop == 2 ? (x || cv) : (x != cv); };
                    r1 = comb(v), r2 = comb(!v);
                }
                if (p >= 0) t.r[p] = r1;
                if (q >= 0) t.r[q] = r2;
                break;
            }
            case O_SELP: {
                bool c = get(t, in.ops[3], PRED) != 0;
                set(t, in.ops[0], get(t, in.ops[c ? 1 : 2], in.t), in.t);
                break;
            }
            case O_CVT: exec_cvt(t, in); break;
            case O_CVTA: {
                uint64_t a = get(t, in.ops[1], in.t);
                if (in.space == SP_SHARED) a = (in.flags & F_TO) ? a - kSharedWindow : a + kSharedWindow;
                else if (in.space == SP_LOCAL) a = (in.flags & F_TO) ? a - kLocalWindow : a + kLocalWindow;
                else if (in.space == SP_PARAM) a = (in.flags & F_TO) ? a - kParamWindow : a + kParamWindow;
                set(t, in.ops[0], a, in.t);
                break;
            }
            case O_LD: case O_ST: exec_ldst(t, in); break;
            case O_ATOM: exec_atom(t, in); break;
            case O_CPASYNC: {
                uint32_t dst = static_cast<uint32_t>(addr_of(t, in.ops[0]));
                uint64_t src = addr_of(t, in.ops[1]);
                unsigned cp = static_cast<unsigned>(get(t, in.ops[2], U32));
                unsigned srcsize = in.nops > 3 ? static_cast<unsigned>(get(t, in.ops[3], U32)) : cp;
                if (in.flags & F_IGNORE_SRC) srcsize = srcsize ? 0 : cp;  // a true predicate writes zeros
                if (!(cp == 4 || cp == 8 || cp == 16) || (in.sub == 1 && cp != 16))
                    error("cp.async copy size " + std::to_string(cp) + " is not allowed");
                if (srcsize > cp) error("cp.async source size " + std::to_string(srcsize) + " exceeds the copy size");
                if (dst % cp) report("memcheck", "cp.async destination " + hex(dst) + " not aligned to " + std::to_string(cp), t.tid, &in);
                if (src % cp) report("memcheck", "cp.async source " + hex(src) + " not aligned to " + std::to_string(cp), t.tid, &in);
                if (dst + cp > shared_size_)
                    report("memcheck", "cp.async destination " + hex(dst) + " outside the " + std::to_string(shared_size_) +
                                           " bytes of shared memory", t.tid, &in);
                AsyncCopy c{-1, dst, static_cast<uint8_t>(cp), {}};
                c.insn = &in;
                if (srcsize) {
                    std::memcpy(c.data, access(SP_GLOBAL, src, srcsize, false, t, 1), srcsize);
                    c.src = src, c.src_bytes = static_cast<uint8_t>(srcsize);
                    ++sources_;
                    sources_lo_ = std::min(sources_lo_, src), sources_hi_ = std::max(sources_hi_, src + srcsize);
                }
                for (unsigned i = 0; i < cp; ++i) check_copy_issue(dst + i, t.tid);
                for (unsigned i = 0; i < cp; ++i) ++shadow_[dst + i].pending;
                t.async.push_back(c);
                break;
            }
            case O_CP_COMMIT:
                for (auto& c : t.async)
                    if (c.group < 0) c.group = t.groups_committed;
                ++t.groups_committed;
                break;
            case O_CP_WAIT: {
                int64_t n = static_cast<int64_t>(get(t, in.ops[0], U32));
                complete_async(t, t.groups_committed - n);
                break;
            }
            case O_CP_WAITALL:
                for (auto& c : t.async)
                    if (c.group < 0) c.group = t.groups_committed;
                ++t.groups_committed;
                complete_async(t, t.groups_committed);
                break;
            case O_MOV: {
                const Opnd& d = in.ops[0];
                const Opnd& s = in.ops[1];
                unsigned total = ty_bytes(in.t);
                if (d.kind == K_VEC) {  // unpack
                    uint64_t v = get(t, s, in.t);
                    unsigned each = total / d.count;
                    for (int i = 0; i < d.count; ++i) {
                        const Opnd& e = vec(d, i);
                        if (e.kind != K_REG) continue;
                        if (track_regs_) reg_access(t, e.reg, true);
                        t.r[e.reg] = (v >> (8 * each * i)) & mask_of(each), t.frag[e.reg] = 0;
                    }
                } else if (s.kind == K_VEC) {  // pack
                    unsigned each = total / s.count;
                    uint64_t v = 0;
                    for (int i = 0; i < s.count; ++i) v |= (get(t, vec(s, i), T_NONE) & mask_of(each)) << (8 * each * i);
                    set(t, d, v, in.t);
                } else {
                    uint64_t v = get(t, s, in.t);
                    set(t, d, in.t == PRED ? (v != 0) : v, in.t == PRED ? U8 : in.t);
                }
                break;
            }
            default:
                if (in.t == F32 || in.t == F64 || (in.op == O_COPYSIGN)) exec_float(t, in);
                else exec_int(t, in);
        }
        ++t.pc;
    }
}

void Exec::complete_async(Thread& t, int64_t below_group) {
    for (auto it = t.async.begin(); it != t.async.end();) {
        if (it->group >= 0 && it->group < below_group) {
            for (unsigned i = 0; i < it->bytes; ++i) --shadow_[it->dst + i].pending;
            if (it->src_bytes && --sources_ == 0) sources_lo_ = UINT64_MAX, sources_hi_ = 0;
            // the copy lands now: a write by the issuing thread
            const Insn* keep = cur_insn_;
            for (unsigned i = 0; i < it->bytes; ++i) track(it->dst + i, true, t.tid);
            cur_insn_ = keep;
            std::memcpy(shared_.data() + it->dst, it->data, it->bytes);
            it = t.async.erase(it);
        } else {
            ++it;
        }
    }
}

void Exec::exec_float(Thread& t, const Insn& in) {
    bool ftz = in.flags & F_FTZ;
    if (in.t == F64) {
        double a = f64(t, in.ops[1]);
        double b = in.nops > 2 ? f64(t, in.ops[2]) : 0, c = in.nops > 3 ? f64(t, in.ops[3]) : 0, r;
        if (in.rnd != R_NONE && in.rnd != RN) error("only .rn is supported for f64");
        switch (in.op) {
            case O_ADD: r = a + b; break;
            case O_SUB: r = a - b; break;
            case O_MUL: r = a * b; break;
            case O_FMA: case O_MAD: r = std::fma(a, b, c); break;
            case O_DIV: r = a / b; break;
            case O_NEG: r = -a; break;
            case O_ABS: r = std::fabs(a); break;
            case O_MIN: r = std::fmin(a, b); break;
            case O_MAX: r = std::fmax(a, b); break;
            case O_SQRT: r = std::sqrt(a); break;
            case O_RCP: r = 1.0 / a; break;
            default: error("unsupported f64 instruction");
        }
        set(t, in.ops[0], f64_bits(r), F64);
        return;
    }
    float a = f32(t, in.ops[1], ftz);
    float b = in.nops > 2 ? f32(t, in.ops[2], ftz) : 0.0f;
    float c = in.nops > 3 ? f32(t, in.ops[3], ftz) : 0.0f;
    Rnd rnd = in.rnd == R_NONE ? RN : in.rnd;
    if (rnd > RP) error("integer rounding on a float operation");
    bool approx = in.flags & F_APPROX;
    float r;
    double s, e;
    switch (in.op) {
        case O_ADD: two_sum(a, b, s, e); r = round_f32(s, e, rnd); break;
        case O_SUB: two_sum(a, -static_cast<double>(b), s, e); r = round_f32(s, e, rnd); break;
        case O_MUL: r = round_f32(static_cast<double>(a) * b, 0, rnd); break;
        case O_FMA: case O_MAD:
            if (in.op == O_MAD && in.rnd == R_NONE) error("mad.f32 needs a rounding modifier");
            two_sum(static_cast<double>(a) * b, c, s, e);
            r = round_f32(s, e, rnd);
            break;
        case O_DIV:
            if (approx) {
                // a * (1/b): for |b| above 2^126 the reciprocal flushes, so the quotient is 0 (NaN for a = inf)
                if (std::fabs(b) > 0x1p126f) r = std::isinf(a) ? NAN : (std::signbit(a) != std::signbit(b) ? -0.0f : 0.0f);
                else r = static_cast<float>(static_cast<double>(a) / b);
            } else {
                if (!(in.flags & F_FULL) && in.rnd == R_NONE) error("div.f32 needs .rn, .full or .approx");
                r = round_f32(static_cast<double>(a) / b, 0, rnd);  // double rounding of a quotient is innocuous
            }
            break;
        case O_RCP:
            if (!approx && in.rnd == R_NONE) error("rcp.f32 needs .rn or .approx");
            r = round_f32(1.0 / static_cast<double>(a), 0, rnd);
            break;
        case O_SQRT:
            if (!approx && in.rnd == R_NONE) error("sqrt.f32 needs .rn or .approx");
            r = round_f32(std::sqrt(static_cast<double>(a)), 0, rnd);
            break;
        case O_RSQRT: if (!approx) error("rsqrt needs .approx"); r = static_cast<float>(1.0 / std::sqrt(static_cast<double>(a))); break;
        case O_EX2: if (!approx) error("ex2 needs .approx"); r = static_cast<float>(std::exp2(static_cast<double>(a))); break;
        case O_LG2: if (!approx) error("lg2 needs .approx"); r = static_cast<float>(std::log2(static_cast<double>(a))); break;
        case O_SIN: if (!approx) error("sin needs .approx"); r = static_cast<float>(std::sin(static_cast<double>(a))); break;
        case O_COS: if (!approx) error("cos needs .approx"); r = static_cast<float>(std::cos(static_cast<double>(a))); break;
        case O_TANH: if (!approx) error("tanh needs .approx"); r = static_cast<float>(std::tanh(static_cast<double>(a))); break;
        case O_ABS: r = std::fabs(a); break;
        case O_NEG: r = -a; break;
        case O_MIN: case O_MAX: {
            if (std::isnan(a)) r = b;
            else if (std::isnan(b)) r = a;
            else if (a == 0 && b == 0) r = (in.op == O_MIN ? (std::signbit(a) || std::signbit(b)) : (std::signbit(a) && std::signbit(b))) ? -0.0f : 0.0f;
            else r = in.op == O_MIN ? std::min(a, b) : std::max(a, b);
            break;
        }
        case O_COPYSIGN: r = std::copysign(b, a); break;
        default: error("unsupported f32 instruction");
    }
    if (in.flags & F_SAT) r = std::isnan(r) ? 0.0f : std::min(std::max(r, 0.0f), 1.0f);
    if (ftz) r = ftz32(r);
    set(t, in.ops[0], f32_bits(r), F32);
}

void Exec::exec_int(Thread& t, const Insn& in) {
    Ty ty = in.t;
    if (ty == T_NONE || ty_float(ty)) error("unsupported instruction type");
    unsigned n = ty == PRED ? 1 : ty_bytes(ty);
    bool sg = ty_signed(ty);
    auto src = [&](int i) { return get(t, in.ops[i], ty); };
    uint64_t a = in.nops > 1 ? src(1) : 0, b = in.nops > 2 ? src(2) : 0;
    uint64_t r = 0;
    Ty out = ty;
    uint64_t mk = mask_of(n);
    switch (in.op) {
        case O_ADD: r = a + b; if (in.flags & F_SAT) error("add.sat is not supported"); break;
        case O_SUB: r = a - b; break;
        case O_MUL: case O_MAD: {
            uint64_t prod;
            if (in.flags & F_WIDE) {
                prod = sg ? static_cast<uint64_t>(sext(a, n) * sext(b, n)) : (a & mk) * (b & mk);
                out = static_cast<Ty>(n == 2 ? (sg ? S32 : U32) : (sg ? S64 : U64));
                if (n == 8) error("wide 64-bit multiply is not supported");
            } else if (in.flags & F_HI) {
                if (n == 8) {
                    if (sg) prod = static_cast<uint64_t>((static_cast<__int128>(static_cast<int64_t>(a)) * static_cast<int64_t>(b)) >> 64);
                    else prod = static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
                } else {
                    prod = sg ? static_cast<uint64_t>((sext(a, n) * sext(b, n)) >> (8 * n)) : ((a & mk) * (b & mk)) >> (8 * n);
                }
            } else {
                prod = a * b;
            }
            if (in.op == O_MAD) prod += get(t, in.ops[3], out);
            r = prod;
            break;
        }
        case O_DIV:
            if ((b & mk) == 0) r = ~0ull;
            else if (sg && sext(b, n) == -1) r = ~a + 1;  // also INT_MIN / -1 = INT_MIN
            else r = sg ? static_cast<uint64_t>(sext(a, n) / sext(b, n)) : (a & mk) / (b & mk);
            break;
        case O_REM:
            if ((b & mk) == 0) r = a;
            else if (sg && sext(b, n) == -1) r = 0;
            else r = sg ? static_cast<uint64_t>(sext(a, n) % sext(b, n)) : (a & mk) % (b & mk);
            break;
        case O_MIN: r = sg ? (sext(a, n) < sext(b, n) ? a : b) : ((a & mk) < (b & mk) ? a : b); break;
        case O_MAX: r = sg ? (sext(a, n) > sext(b, n) ? a : b) : ((a & mk) > (b & mk) ? a : b); break;
        case O_ABS: r = sext(a, n) < 0 ? ~a + 1 : a; break;
        case O_NEG: r = ~a + 1; break;
        case O_AND: r = a & b; break;
        case O_OR: r = a | b; break;
        case O_XOR: r = a ^ b; break;
        case O_NOT: r = ty == PRED ? !a : ~a; break;
        case O_CNOT: r = (a & mk) == 0; break;
        case O_SHL: { uint64_t sh = get(t, in.ops[2], U32) & 0xFFFFFFFF; r = sh >= 8 * n ? 0 : a << sh; break; }
        case O_SHR: {
            uint64_t sh = get(t, in.ops[2], U32) & 0xFFFFFFFF;
            if (sg) r = static_cast<uint64_t>(sext(a, n) >> std::min<uint64_t>(sh, 63));
            else r = sh >= 8 * n ? 0 : (a & mk) >> sh;
            break;
        }
        case O_BFI: {  // bfi d, a, b, pos, len: insert a's low bits into b
            unsigned pos = static_cast<unsigned>(get(t, in.ops[3], U32) & 0xFF), len = static_cast<unsigned>(get(t, in.ops[4], U32) & 0xFF);
            r = b;
            for (unsigned i = 0; i < len && pos + i < 8 * n; ++i) {
                uint64_t bit = 1ull << (pos + i);
                r = (r & ~bit) | (((a >> i) & 1) << (pos + i));
            }
            break;
        }
        case O_BFE: {
            unsigned pos = static_cast<unsigned>(b & 0xFF), len = static_cast<unsigned>(get(t, in.ops[3], U32) & 0xFF);
            unsigned bits = 8 * n;
            uint64_t sbit = sg ? ((len == 0) ? 0 : ((a >> std::min(pos + len - 1, bits - 1)) & 1)) : 0;
            r = 0;
            for (unsigned i = 0; i < bits; ++i) {
                uint64_t bit = (i < len && pos + i < bits) ? (a >> (pos + i)) & 1 : sbit;
                r |= bit << i;
            }
            break;
        }
        case O_POPC: r = static_cast<uint64_t>(__builtin_popcountll(a & mk)); out = U32; break;
        case O_CLZ: r = (a & mk) ? static_cast<uint64_t>(__builtin_clzll(a & mk) - (64 - 8 * n)) : 8 * n; out = U32; break;
        case O_BREV: for (unsigned i = 0; i < 8 * n; ++i) r |= ((a >> i) & 1) << (8 * n - 1 - i); break;
        case O_PRMT: {
            uint32_t sel = static_cast<uint32_t>(get(t, in.ops[3], U32));
            uint64_t bytes = (a & 0xFFFFFFFF) | ((b & 0xFFFFFFFF) << 32);
            for (int i = 0; i < 4; ++i) {
                unsigned s = (sel >> (4 * i)) & 0xF;
                uint64_t byte = (bytes >> (8 * (s & 7))) & 0xFF;
                if (s & 8) byte = (byte & 0x80) ? 0xFF : 0;
                r |= byte << (8 * i);
            }
            break;
        }
        case O_LOP3: {
            uint64_t c = src(3);
            unsigned lut = static_cast<unsigned>(get(t, in.ops[4], U32) & 0xFF);
            for (unsigned i = 0; i < 8 * n; ++i) {
                unsigned idx = (((a >> i) & 1) << 2) | (((b >> i) & 1) << 1) | ((c >> i) & 1);
                r |= static_cast<uint64_t>((lut >> idx) & 1) << i;
            }
            break;
        }
        case O_SHF: {
            uint32_t lo = static_cast<uint32_t>(a), hi = static_cast<uint32_t>(b);
            uint32_t sh = static_cast<uint32_t>(get(t, in.ops[3], U32));
            sh = (in.flags & F_WRAP) ? (sh & 31) : std::min(sh, 32u);
            uint64_t both = (static_cast<uint64_t>(hi) << 32) | lo;
            r = (in.flags & F_SHR) ? (both >> sh) & 0xFFFFFFFF : ((both << sh) >> 32) & 0xFFFFFFFF;
            break;
        }
        default: error("unsupported integer instruction");
    }
    if (ty == PRED) r &= 1, out = U8;
    set(t, in.ops[0], r, out);
}

void Exec::exec_cvt(Thread& t, const Insn& in) {
    Ty d = in.t, s = in.t2;
    bool ftz = in.flags & F_FTZ;
    uint64_t v = get(t, in.ops[1], s);
    uint64_t out = 0;
    if (d == F16X2 || d == BF16X2) {  // cvt.rn.f16x2.f32 d, a, b: a -> high, b -> low
        if (s != F32 || in.nops != 3) error("unsupported cvt form");
        float a = as_f32(v), b = as_f32(get(t, in.ops[2], F32));
        auto one = [&](float f) -> uint64_t {
            return d == F16X2 ? f32_to_f16(f, in.rnd, in.flags & F_SATFINITE, in.flags & F_RELU) : f32_to_bf16(f, in.rnd);
        };
        set(t, in.ops[0], (one(a) << 16) | one(b), B32);
        return;
    }
    // source to an exact value
    bool sf = ty_float(s), df = ty_float(d);
    if (sf && df) {
        double x;
        if (s == F32) x = ftz ? ftz32(as_f32(v)) : as_f32(v);
        else if (s == F64) x = as_f64(v);
        else if (s == F16) x = f16_to_f32(static_cast<uint16_t>(v));
        else if (s == BF16) x = bf16_to_f32(static_cast<uint16_t>(v));
        else error("unsupported cvt source");
        if (in.rnd >= RNI) {
            if (in.rnd == RNI) x = std::nearbyint(x);
            else if (in.rnd == RZI) x = std::trunc(x);
            else if (in.rnd == RMI) x = std::floor(x);
            else x = std::ceil(x);
        }
        if (d == F32) {
            float f = (s == F64) ? round_f32(x, 0, in.rnd >= RNI ? RN : (in.rnd == R_NONE ? RN : in.rnd)) : static_cast<float>(x);
            if (s == F64 && in.rnd == R_NONE) error("cvt.f32.f64 needs a rounding modifier");
            if (in.flags & F_SAT) f = std::isnan(f) ? 0.0f : std::min(std::max(f, 0.0f), 1.0f);
            if (ftz) f = ftz32(f);
            out = f32_bits(f);
        } else if (d == F64) {
            out = f64_bits(x);
        } else if (d == F16) {
            if (s != F32) error("unsupported cvt to f16");
            if (in.rnd == R_NONE) error("cvt.f16.f32 needs a rounding modifier");
            out = f32_to_f16(static_cast<float>(x), in.rnd, in.flags & F_SATFINITE, in.flags & F_RELU);
        } else if (d == BF16) {
            if (s != F32) error("unsupported cvt to bf16");
            out = f32_to_bf16(static_cast<float>(x), in.rnd);
        } else {
            error("unsupported cvt");
        }
        set(t, in.ops[0], out, d);
        return;
    }
    if (sf && !df) {  // float -> integer
        double x;
        if (s == F32) x = ftz ? ftz32(as_f32(v)) : as_f32(v);
        else if (s == F64) x = as_f64(v);
        else if (s == F16) x = f16_to_f32(static_cast<uint16_t>(v));
        else error("unsupported cvt source");
        if (in.rnd < RNI) error("float to integer cvt needs .rni/.rzi/.rmi/.rpi");
        if (std::isnan(x)) x = 0;
        if (in.rnd == RNI) x = std::nearbyint(x);
        else if (in.rnd == RZI) x = std::trunc(x);
        else if (in.rnd == RMI) x = std::floor(x);
        else x = std::ceil(x);
        unsigned n = ty_bytes(d);
        if (ty_signed(d)) {
            double lo = -std::ldexp(1.0, 8 * n - 1), hi = std::ldexp(1.0, 8 * n - 1);
            int64_t iv = x < lo ? static_cast<int64_t>(lo) : x >= hi ? (n == 8 ? INT64_MAX : static_cast<int64_t>(hi) - 1) : static_cast<int64_t>(x);
            out = static_cast<uint64_t>(iv);
        } else {
            double hi = std::ldexp(1.0, 8 * n);
            out = x <= 0 ? 0 : x >= hi ? mask_of(n) : static_cast<uint64_t>(x);
        }
        set(t, in.ops[0], out, d);
        return;
    }
    unsigned sn = ty_bytes(s);
    if (!sf && df) {  // integer -> float
        double hi, lo;
        if (ty_signed(s)) {
            int64_t iv = sext(v, sn);
            hi = static_cast<double>(iv >> 32) * 4294967296.0;
            lo = static_cast<double>(iv & 0xFFFFFFFF);
        } else {
            uint64_t uv = v & mask_of(sn);
            hi = static_cast<double>(uv >> 32) * 4294967296.0;
            lo = static_cast<double>(uv & 0xFFFFFFFF);
        }
        double x, e;
        two_sum(hi, lo, x, e);
        if (d == F32) {
            if (in.rnd == R_NONE || in.rnd >= RNI) error("integer to float cvt needs .rn/.rz/.rm/.rp");
            out = f32_bits(round_f32(x, e, in.rnd));
        } else if (d == F64) {
            out = f64_bits(x);
        } else if (d == F16) {
            out = f32_to_f16(round_f32(x, e, in.rnd), in.rnd);
        } else {
            error("unsupported cvt");
        }
        set(t, in.ops[0], out, d);
        return;
    }
    // integer -> integer
    if (in.flags & F_SAT) error("cvt.sat between integers is not supported");
    uint64_t x = ty_signed(s) ? static_cast<uint64_t>(sext(v, sn)) : (v & mask_of(sn));
    set(t, in.ops[0], x, d);
}

void Exec::exec_ldst(Thread& t, const Insn& in) {
    Ty ty = in.t;
    unsigned n = ty_bytes(ty);
    if (!n) error("unsupported load/store type");
    const Opnd& ao = in.op == O_LD ? in.ops[1] : in.ops[0];
    const Opnd& vo = in.op == O_LD ? in.ops[0] : in.ops[1];
    if (ao.kind != K_ADDR) error("bad address operand");
    Space sp = in.space;
    if (ao.reg < 0 && ao.sym_space != SP_GENERIC) {
        if (sp == SP_GENERIC) sp = ao.sym_space;
        else if (sp != ao.sym_space) error("symbol of another state space");
    }
    uint64_t a = addr_of(t, ao);
    unsigned total = n * in.vec;
    if (in.vec > 1 && (vo.kind != K_VEC || vo.count != in.vec)) error("vector operand size");
    uint8_t* p = access(sp, a, total, in.op == O_ST, t, total);
    for (unsigned i = 0; i < in.vec; ++i) {
        const Opnd& e = in.vec > 1 ? vec(vo, i) : vo;
        if (in.op == O_LD) {
            uint64_t v = 0;
            std::memcpy(&v, p + i * n, n);
            if (ty_signed(ty)) v = static_cast<uint64_t>(sext(v, n));
            if (e.kind == K_REG) {
                if (track_regs_) reg_access(t, e.reg, true);
                t.r[e.reg] = v, t.frag[e.reg] = 0;
            }
            else if (e.kind != K_SINK) error("bad load destination");
        } else {
            uint64_t v = get(t, e, ty);
            std::memcpy(p + i * n, &v, n);
        }
    }
}

void Exec::exec_atom(Thread& t, const Insn& in) {
    bool red = in.flags & F_SHR;
    const Opnd& ao = red ? in.ops[0] : in.ops[1];
    int vi = red ? 1 : 2;
    Ty ty = in.t;
    unsigned n = ty_bytes(ty);
    if (n != 4 && n != 8) error("unsupported atomic type");
    uint64_t a = addr_of(t, ao);
    Space sp = in.space;
    atomic_ = true;
    uint8_t* p = access(sp, a, n, true, t, n);
    atomic_ = false;
    uint64_t old = 0;
    std::memcpy(&old, p, n);
    uint64_t b = get(t, in.ops[vi], ty), r;
    bool sg = ty_signed(ty);
    switch (in.sub) {
        case 0:
            if (ty == F32) r = f32_bits(as_f32(old) + as_f32(b));
            else if (ty == F64) r = f64_bits(as_f64(old) + as_f64(b));
            else r = old + b;
            break;
        case 1: case 2: {
            bool less;
            if (ty == F32) less = as_f32(b) < as_f32(old);
            else less = sg ? sext(b, n) < sext(old, n) : (b & mask_of(n)) < (old & mask_of(n));
            bool greater = ty == F32 ? as_f32(b) > as_f32(old) : (sg ? sext(b, n) > sext(old, n) : (b & mask_of(n)) > (old & mask_of(n)));
            r = (in.sub == 1 ? less : greater) ? b : old;
            break;
        }
        case 3: r = b; break;
        case 4: r = (old & mask_of(n)) == (b & mask_of(n)) ? get(t, in.ops[vi + 1], ty) : old; break;
        case 5: r = old & b; break;
        case 6: r = old | b; break;
        case 7: r = old ^ b; break;
        case 8: r = (old & mask_of(n)) >= (b & mask_of(n)) ? 0 : old + 1; break;
        default: r = ((old & mask_of(n)) == 0 || (old & mask_of(n)) > (b & mask_of(n))) ? b : old - 1; break;
    }
    std::memcpy(p, &r, n);
    if (!red) set(t, in.ops[0], old, ty);
}

static double half_val(uint16_t h, Ty t) { return t == BF16 ? bf16_to_f32(h) : f16_to_f32(h); }

// ---- Hopper: mbarrier, TMA, warpgroup MMA ----------------------------------------------------------

uint32_t Exec::shared_addr(Thread& t, const Opnd& o, unsigned bytes, unsigned align) {
    uint64_t a = addr_of(t, o);
    if (a >= kSharedWindow && a < kSharedWindow + (1ull << 32)) a -= kSharedWindow;
    if (a % align) report("memcheck", "shared address " + hex(a) + " not aligned to " + std::to_string(align), t.tid, cur_insn_);
    if (a + bytes > shared_size_)
        report("memcheck", "shared address " + hex(a) + " outside the " + std::to_string(shared_size_) + " bytes of shared memory",
               t.tid, cur_insn_);
    return static_cast<uint32_t>(a);
}

MBarrier& Exec::barrier(Thread& t, uint32_t a) {
    auto it = mbars_.find(a);
    if (it == mbars_.end()) report("async", "mbarrier operation on shared " + hex(a) + ", which holds no initialised mbarrier", t.tid, cur_insn_);
    return it->second;
}

// The current phase completes once every arrival came and every transaction byte landed.
void Exec::barrier_changed(MBarrier& b) {
    if (b.pending == 0 && b.tx == 0) ++b.phase, b.pending = b.expected;
}

// False: a try_wait whose phase has not completed; the thread waits there.
bool Exec::exec_mbar(Thread& t, const Insn& in) {
    int ai = (in.sub == MB_ARRIVE || in.sub == MB_ARRIVE_TX || in.sub == MB_TRY_WAIT || in.sub == MB_TEST_WAIT) ? 1 : 0;
    uint32_t a = shared_addr(t, in.ops[ai], 8, 8);
    auto value = [&](int i, uint64_t dflt) { return in.nops > i ? get(t, in.ops[i], U32) & 0xFFFFFFFF : dflt; };
    if (in.sub == MB_INIT) {
        if (mbars_.count(a)) report("async", "mbarrier.init on the live mbarrier at shared " + hex(a), t.tid, &in);
        int64_t n = static_cast<int64_t>(value(1, 0));
        if (n < 1 || n >= (1 << 20)) report("async", "mbarrier.init with count " + std::to_string(n), t.tid, &in);
        MBarrier& b = mbars_[a];
        b.pending = b.expected = n;
        return true;
    }
    MBarrier& b = barrier(t, a);
    switch (in.sub) {
        case MB_ARRIVE: case MB_ARRIVE_TX: {
            if (in.sub == MB_ARRIVE_TX) b.tx += static_cast<int64_t>(value(2, 0));
            int64_t n = in.sub == MB_ARRIVE ? static_cast<int64_t>(value(2, 1)) : 1;
            if (n > b.pending)
                report("async", "arrival on the mbarrier at shared " + hex(a) + " beyond the " + std::to_string(b.expected) +
                                    " its phase expects", t.tid, &in);
            if (in.ops[0].kind == K_REG) set(t, in.ops[0], b.phase, B64);
            b.pending -= n;
            barrier_changed(b);
            break;
        }
        case MB_EXPECT_TX: b.tx += static_cast<int64_t>(value(1, 0)); break;
        case MB_COMPLETE_TX:
            b.tx -= static_cast<int64_t>(value(1, 0));
            barrier_changed(b);
            break;
        case MB_TRY_WAIT: case MB_TEST_WAIT: {
            uint32_t parity = static_cast<uint32_t>(value(2, 0) & 1);
            bool done = parity != (b.phase & 1);
            if (!done && in.sub == MB_TRY_WAIT) {
                t.wait_bar = a, t.wait_parity = parity;
                return false;
            }
            set(t, in.ops[0], done, PRED);
            break;
        }
        case MB_INVAL: mbars_.erase(a); break;
        default: error("bad mbarrier operation");
    }
    return true;
}

bool Exec::wake_waiters() {
    bool any = false;
    for (Thread& t : threads_) {
        if (t.state != AT_MBAR) continue;
        auto it = mbars_.find(t.wait_bar);
        if (it == mbars_.end()) report("async", "the mbarrier waited for was invalidated", t.tid, &k_.code[t.pc]);
        if ((it->second.phase & 1) != t.wait_parity) t.state = RUNNING, any = true;
    }
    return any;
}

static uint64_t swizzle_addr(uint64_t a, unsigned mode_bytes) {  // 0 none, else 32/64/128
    return mode_bytes ? a ^ (((a >> 7) & (mode_bytes / 16 - 1)) << 4) : a;
}

void Exec::issue_tma(Thread& t, const Insn& in) {
    AsyncOp op;
    op.tma = true;
    op.tid = t.tid;
    op.insn = &in;
    op.dst = shared_addr(t, in.ops[0], 1, 1);
    uint64_t map_at = addr_of(t, in.ops[1]);
    if (map_at % 64) report("memcheck", "tensor map address " + hex(map_at) + " not aligned to 64 bytes", t.tid, &in);
    std::memcpy(&op.map, access(SP_GENERIC, map_at, 128, false, t, 1), 128);
    const TensorMapImage& m = op.map;
    if (m.magic != TensorMapImage::kMagic) report("error", "the tensor map operand holds no map cuTensorMapEncodeTiled wrote", t.tid, &in);
    if (m.rank != 2) error("a .2d copy through a map of rank " + std::to_string(m.rank));
    if (m.interleave || m.elem_strides[0] != 1 || m.elem_strides[1] != 1) error("interleaved or strided maps are not supported");
    for (int i = 0; i < 2; ++i) op.coord[i] = static_cast<int32_t>(get(t, vec(in.ops[2], i), S32));
    op.bar = shared_addr(t, in.ops[3], 8, 8);
    barrier(t, op.bar);
    const unsigned swz = m.swizzle == 0 ? 0 : 16u << m.swizzle;  // 32, 64, 128
    unsigned align = swz == 128 ? 1024 : 128;
    if (op.dst % align)
        report("memcheck", "TMA destination " + hex(op.dst) + " not aligned to " + std::to_string(align) + " bytes", t.tid, &in);
    uint32_t bytes = m.box[0] * m.box[1] * m.elem_bytes;
    if (op.dst + uint64_t{bytes} > shared_size_)
        report("memcheck", "TMA destination " + hex(op.dst) + " + " + std::to_string(bytes) + " bytes outside the " +
                               std::to_string(shared_size_) + " bytes of shared memory", t.tid, &in);
    for (uint32_t i = 0; i < bytes; ++i) {
        Shadow& sh = shadow_[op.dst + i];
        if (sh.tma || sh.pending)
            report("async", "TMA copy to shared address " + hex(op.dst + i) + " while another copy to it is in flight", t.tid, &in);
        if (sh.wg_readers)
            report("async", "TMA copy to shared address " + hex(op.dst + i) + " while a wgmma reading it is in flight", t.tid, &in);
        ++sh.tma;
    }
    ops_.push_back(op);
    pending_ops_.push_back(ops_.size() - 1);
}

void Exec::complete_op(size_t i) {
    AsyncOp& op = ops_[i];
    if (op.done) return;
    if (op.tma) complete_tma(op);
    else complete_wgmma(op);
}

void Exec::complete_tma(AsyncOp& op) {
    op.done = true;
    std::erase(pending_ops_, static_cast<size_t>(&op - ops_.data()));
    const TensorMapImage& m = op.map;
    const unsigned e = m.elem_bytes, swz = m.swizzle == 0 ? 0 : 16u << m.swizzle;
    Thread& t = threads_[op.tid];
    const Insn* keep = cur_insn_;
    cur_insn_ = op.insn;
    for (uint32_t y = 0; y < m.box[1]; ++y)
        for (uint32_t x = 0; x < m.box[0]; ++x) {
            int64_t gx = int64_t{op.coord[0]} + x, gy = int64_t{op.coord[1]} + y;
            uint8_t v[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // outside the tensor: zeros
            if (gx >= 0 && gy >= 0 && static_cast<uint64_t>(gx) < m.dims[0] && static_cast<uint64_t>(gy) < m.dims[1])
                std::memcpy(v, access(SP_GLOBAL, m.address + static_cast<uint64_t>(gy) * m.strides[0] + static_cast<uint64_t>(gx) * e, e,
                                      false, t, 1), e);
            uint64_t lin = op.dst + (uint64_t{y} * m.box[0] + x) * e;
            for (unsigned b = 0; b < e; ++b) {
                uint32_t a = static_cast<uint32_t>(swizzle_addr(lin + b, swz));
                Shadow& sh = shadow_[a];
                --sh.tma;
                if (sh.wg_readers) report("async", "TMA copy lands on shared address " + hex(a) + " while a wgmma reading it is in flight", op.tid, op.insn);
                sh.writer = INT32_MAX - 1;  // the async proxy: ordered by the mbarrier, not a thread
                sh.wepoch = 0;
                shared_[a] = v[b];
            }
        }
    cur_insn_ = keep;
    auto it = mbars_.find(op.bar);
    if (it == mbars_.end()) report("async", "TMA copy completes on an invalidated mbarrier at shared " + hex(op.bar), op.tid, op.insn);
    it->second.tx -= int64_t{m.box[0]} * m.box[1] * e;
    barrier_changed(it->second);
}

// Shared address of element (r, k) (r < 64 for A or < N for B, k < 16) of a wgmma operand
// described by `desc`, K-major (trans 0) or M/N-major (trans 1), f16/bf16.
static bool desc_addr(uint64_t desc, unsigned r, unsigned k, bool mn_major, uint32_t& out, std::string& why) {
    uint64_t start = (desc & 0x3FFF) << 4, lbo = ((desc >> 16) & 0x3FFF) << 4, sbo = ((desc >> 32) & 0x3FFF) << 4;
    unsigned base_off = (desc >> 49) & 7, mode = (desc >> 62) & 3;
    unsigned w = mode == 0 ? 0 : mode == 1 ? 128 : mode == 2 ? 64 : 32;
    if (base_off) {
        why = "matrix base offset " + std::to_string(base_off) + " in a descriptor (keep swizzled tiles 1024-byte aligned)";
        return false;
    }
    uint64_t lin;
    if (!mn_major) lin = w ? start + (r / 8) * sbo + (r % 8) * w + 2 * k : start + (r / 8) * sbo + (r % 8) * 16 + (k / 8) * lbo + (k % 8) * 2;
    else lin = w ? start + (r / (w / 2)) * lbo + (r % (w / 2)) * 2 + (k / 8) * sbo + (k % 8) * w
                 : start + (r / 8) * sbo + (r % 8) * 2 + (k / 8) * lbo + (k % 8) * 16;
    out = static_cast<uint32_t>(swizzle_addr(lin, w));
    return true;
}

bool Exec::warpgroup_collective(unsigned g) {
    unsigned first = 128 * g, last = std::min(first + 128, nthreads_);
    Thread* lead = nullptr;
    for (unsigned i = first; i < last; ++i)
        if (threads_[i].state == AT_WG) { lead = &threads_[i]; break; }
    if (!lead) return false;
    const Insn& in = k_.code[lead->pc];
    if (last - first != 128) report("error", "a warpgroup instruction in a block whose size is not a multiple of 128", lead->tid, &in);
    std::vector<Thread*> lanes(128, nullptr);
    for (unsigned i = first; i < last; ++i) {
        Thread& t = threads_[i];
        if (t.state == EXITED) report("error", "thread " + std::to_string(i - first) + " of the warpgroup has exited", lead->tid, &in);
        if (t.state != AT_WG || t.pc != lead->pc) {
            if (t.state == AT_WG)
                report("error", "the warpgroup diverges: thread " + std::to_string(i - first) + " waits at '" + k_.code[t.pc].text + "'",
                       lead->tid, &in);
            return false;
        }
        lanes[i - first] = &t;
    }
    cur_insn_ = &in;
    cur_ = lead;
    if (in.op == O_WGMMA) issue_wgmma(in, lanes);
    else exec_setmaxnreg(in, g);
    for (Thread* t : lanes) t->state = RUNNING, ++t->pc;
    return true;
}

void Exec::exec_setmaxnreg(const Insn& in, unsigned g) {
    unsigned n = static_cast<unsigned>(in.ops[0].imm[0]);
    const unsigned tid = 128 * g;
    if (n < 24 || n > 256 || n % 8) report("error", "setmaxnreg " + std::to_string(n) + " (24..256, a multiple of 8)", tid, &in);
    if (!k_.maxnreg) report("async", "setmaxnreg in an entry without .maxnreg (the assembler ignores it)", tid, &in);
    unsigned& cur = wg_regs_[g];
    if (in.sub ? cur > n : cur < n)
        report("async", std::string("setmaxnreg.") + (in.sub ? "inc" : "dec") + " " + std::to_string(n) + " from " + std::to_string(cur) +
                            " registers", tid, &in);
    cur = n;
    if (in.sub) {
        unsigned total = 0;
        for (unsigned w = 0; w < wg_regs_.size(); ++w) {
            bool alive = false;
            for (unsigned i = 128 * w; i < std::min(128 * w + 128, nthreads_); ++i) alive |= threads_[i].state != EXITED;
            if (alive) total += wg_regs_[w] * 128;
        }
        if (total > 65536)
            report("deadlock", "setmaxnreg.inc waits forever: the warpgroups ask for " + std::to_string(total) +
                                   " of the 65536 registers", tid, &in);
    }
}

void Exec::issue_wgmma(const Insn& in, std::vector<Thread*>& lanes) {
    AsyncOp op;
    op.tma = false;
    op.insn = &in;
    op.tid = lanes[0]->tid;
    op.wg = lanes[0]->tid / 128;
    op.rs = in.ops[1].kind == K_VEC;
    const unsigned N = in.n;
    const Opnd& D = in.ops[0];
    int imm_at = 4;
    auto immv = [&](int i) { return static_cast<int64_t>(in.ops[i].imm[0]); };
    op.neg_a = static_cast<int>(immv(imm_at)), op.neg_b = static_cast<int>(immv(imm_at + 1));
    bool trans_a = op.rs ? false : immv(imm_at + 2) != 0, trans_b = immv(op.rs ? imm_at + 2 : imm_at + 3) != 0;
    if ((op.neg_a != 1 && op.neg_a != -1) || (op.neg_b != 1 && op.neg_b != -1)) error("wgmma scale-a/b immediates are 1 or -1");
    // ordering: a fence since the warpgroup last touched the registers this wgmma uses
    for (Thread* t : lanes) {
        if (!t->wg_fenced) report("async", "wgmma with no wgmma.fence before it", t->tid, &in);
        auto check = [&](const Opnd& r) {
            if (r.kind == K_REG && (t->rflag[r.reg] & 2))
                report("async", "register " + k_.reg_names[r.reg] +
                                    " was accessed since the last wgmma.fence (a wgmma.fence must come between)", t->tid, &in);
        };
        for (int i = 0; i < D.count; ++i) check(vec(D, i));
        if (op.rs)
            for (int i = 0; i < 4; ++i) check(vec(in.ops[1], i));
    }
    auto uniform = [&](const Opnd& o, Ty t, const char* what) {
        uint64_t v = get(*lanes[0], o, t);
        for (Thread* th : lanes)
            if (get(*th, o, t) != v) report("error", std::string(what) + " differs across the warpgroup", th->tid, &in);
        return v;
    };
    uint64_t da = op.rs ? 0 : uniform(in.ops[1], B64, "the A descriptor");
    uint64_t db = uniform(in.ops[2], B64, "the B descriptor");
    op.scale_d = uniform(in.ops[3], PRED, "scale-d") != 0;
    std::string why;
    auto addresses = [&](uint64_t desc, unsigned rows, bool mn, std::vector<uint32_t>& out) {
        out.resize(rows * 16);
        for (unsigned r = 0; r < rows; ++r)
            for (unsigned k = 0; k < 16; ++k)
                if (!desc_addr(desc, r, k, mn, out[r * 16 + k], why)) report("error", why, op.tid, &in);
    };
    if (!op.rs) addresses(da, 64, trans_a, op.a_addr);
    addresses(db, N, trans_b, op.b_addr);
    auto claim = [&](const std::vector<uint32_t>& addrs) {
        for (uint32_t a : addrs) {
            if (a % 2 || a + 2 > shared_size_)
                report("memcheck", "wgmma operand element at shared " + hex(a) + " outside the " + std::to_string(shared_size_) +
                                       " bytes of shared memory", op.tid, &in);
            for (uint32_t b = a; b < a + 2; ++b) {
                Shadow& sh = shadow_[b];
                if (sh.tma || sh.pending)
                    report("async", "wgmma reads shared address " + hex(b) + ", the destination of a copy whose completion it did not wait for",
                           op.tid, &in);
                if (sh.writer < 0) report("uninitialised", "wgmma reads shared address " + hex(b) + ", which no thread or copy wrote", op.tid, &in);
                if (sh.writer != INT32_MAX - 1 && sh.writer != INT32_MAX && threads_[sh.writer].proxy_seq < sh.wseq)
                    report("async", "wgmma reads shared address " + hex(b) + ", written by " + who(sh.writer) +
                                        " with no fence.proxy.async after the store", op.tid, &in);
                ++sh.wg_readers;
            }
        }
    };
    claim(op.a_addr);
    claim(op.b_addr);
    ops_.push_back(std::move(op));
    size_t idx = ops_.size() - 1;
    pending_ops_.push_back(idx);
    for (Thread* t : lanes) {
        for (int i = 0; i < D.count; ++i) t->rflag[vec(D, i).reg] |= 1;
        if (ops_[idx].rs)
            for (int i = 0; i < 4; ++i)
                if (vec(in.ops[1], i).kind == K_REG) t->rflag[vec(in.ops[1], i).reg] |= 1;
        t->wg_ops.push_back({-1, idx});
    }
}

void Exec::complete_wgmma(AsyncOp& op) {
    size_t idx = static_cast<size_t>(&op - ops_.data());
    for (size_t i = 0; i < idx; ++i)  // wgmma of one warpgroup complete in issue order
        if (!ops_[i].tma && !ops_[i].done && ops_[i].wg == op.wg) complete_wgmma(ops_[i]);
    AsyncOp& o = ops_[idx];
    o.done = true;
    std::erase(pending_ops_, idx);
    const Insn& in = *o.insn;
    const unsigned N = in.n;
    std::vector<double> a(64 * 16), b(size_t{N} * 16);
    auto elem = [&](uint32_t addr) {
        uint16_t h;
        std::memcpy(&h, shared_.data() + addr, 2);
        return half_val(h, in.ta);
    };
    if (!o.rs) {
        for (unsigned i = 0; i < 64 * 16; ++i) a[i] = elem(o.a_addr[i]) * o.neg_a;
    } else {
        for (unsigned t = 0; t < 128; ++t) {
            Thread& th = threads_[128 * o.wg + t];
            unsigned w = t / 32, g = (t % 32) / 4, q = t % 4;
            for (unsigned i = 0; i < 8; ++i) {
                uint16_t h = static_cast<uint16_t>(th.r[vec(in.ops[1], static_cast<int>(i / 2)).reg] >> (16 * (i & 1)));
                unsigned row = 16 * w + g + 8 * ((i >> 1) & 1), k = 2 * q + (i & 1) + 8 * (i >> 2);
                a[row * 16 + k] = half_val(h, in.ta) * o.neg_a;
            }
        }
    }
    for (unsigned i = 0; i < N * 16; ++i) b[i] = elem(o.b_addr[i]) * o.neg_b;
    for (unsigned t = 0; t < 128; ++t) {
        Thread& th = threads_[128 * o.wg + t];
        unsigned w = t / 32, g = (t % 32) / 4, q = t % 4;
        for (unsigned i = 0; i < N / 2; ++i) {
            unsigned row = 16 * w + g + 8 * ((i >> 1) & 1), col = 8 * (i >> 2) + 2 * q + (i & 1);
            int reg = vec(in.ops[0], static_cast<int>(i)).reg;
            double s = 0;
            for (unsigned k = 0; k < 16; ++k) s += a[row * 16 + k] * b[col * 16 + k];
            if (o.scale_d) s += as_f32(th.r[reg]);
            th.r[reg] = f32_bits(static_cast<float>(s));
        }
    }
    for (auto* addrs : {&o.a_addr, &o.b_addr})
        for (uint32_t x : *addrs) --shadow_[x].wg_readers, --shadow_[x + 1].wg_readers;
}

void Exec::wg_wait(Thread& t, int64_t below_group) {
    for (auto it = t.wg_ops.begin(); it != t.wg_ops.end();) {
        if (it->first >= 0 && it->first < below_group) {
            AsyncOp& op = ops_[it->second];
            if (!op.done) complete_wgmma(op);
            const Insn& in = *op.insn;
            for (int i = 0; i < in.ops[0].count; ++i) t.rflag[vec(in.ops[0], i).reg] &= ~1;
            if (op.rs)
                for (int i = 0; i < 4; ++i)
                    if (vec(in.ops[1], i).kind == K_REG) t.rflag[vec(in.ops[1], i).reg] &= ~1;
            it = t.wg_ops.erase(it);
        } else {
            ++it;
        }
    }
    // a register also used by a wgmma still in flight stays flagged
    for (auto& [group, idx] : t.wg_ops) {
        const AsyncOp& op = ops_[idx];
        for (int i = 0; i < op.insn->ops[0].count; ++i) t.rflag[vec(op.insn->ops[0], i).reg] |= 1;
        if (op.rs)
            for (int i = 0; i < 4; ++i)
                if (vec(op.insn->ops[1], i).kind == K_REG) t.rflag[vec(op.insn->ops[1], i).reg] |= 1;
    }
}

// ---- warp collectives ----------------------------------------------------------------------------------

bool Exec::warp_collective(unsigned w) {
    unsigned first = 32 * w, last = std::min(first + 32, nthreads_);
    Thread* lead = nullptr;
    for (unsigned i = first; i < last; ++i)
        if (threads_[i].state == AT_WARP) { lead = &threads_[i]; break; }
    if (!lead) return false;
    const Insn& in = k_.code[lead->pc];
    uint32_t members = 0;
    for (unsigned i = first; i < last; ++i) members |= 1u << (i - first);
    if (in.op == O_SHFL) members &= static_cast<uint32_t>(get(*lead, in.ops[4], U32));
    if (in.op == O_BARWARP) members &= static_cast<uint32_t>(get(*lead, in.ops[0], U32));
    if (in.op == O_ELECT) members &= static_cast<uint32_t>(get(*lead, in.ops[1], U32));
    std::vector<Thread*> lanes(32, nullptr);
    for (unsigned i = first; i < last; ++i) {
        if (!(members >> (i - first) & 1)) continue;
        Thread& t = threads_[i];
        if (t.state == EXITED)
            report("error", "lane " + std::to_string(i - first) + " of the warp has exited", lead->tid, &in);
        if (t.state != AT_WARP || t.pc != lead->pc) {
            if (t.state == AT_WARP)
                report("error", "the warp diverges: lane " + std::to_string(i - first) + " waits at '" + k_.code[t.pc].text + "'",
                       lead->tid, &in);
            return false;  // still at a barrier: reported as a deadlock if nothing else moves
        }
        lanes[i - first] = &t;
    }
    cur_insn_ = &in;
    cur_ = lead;
    switch (in.op) {
        case O_SHFL: exec_shfl(in, lanes); break;
        case O_LDMATRIX: exec_ldmatrix(in, lanes); break;
        case O_MMA: exec_mma(in, lanes); break;
        case O_WMMA_LOAD: case O_WMMA_MMA: case O_WMMA_STORE: exec_wmma(in, lanes); break;
        case O_BARWARP: ++wgen_[w]; break;
        case O_ELECT: {
            int elected = -1;
            for (int l = 0; l < 32 && elected < 0; ++l)
                if (lanes[l]) elected = l;
            for (int l = 0; l < 32; ++l) {
                if (!lanes[l]) continue;
                const Opnd& d = in.ops[0];
                if (d.kind == K_PAIR) {
                    if (d.reg >= 0) set(*lanes[l], Opnd{K_REG, d.reg}, static_cast<uint64_t>(elected), U32);
                    lanes[l]->r[d.reg2] = l == elected;
                } else if (d.kind == K_REG) {
                    set(*lanes[l], d, static_cast<uint64_t>(elected), U32);
                }
            }
            break;
        }
        default: error("not a warp collective");
    }
    for (Thread* t : lanes)
        if (t) t->state = RUNNING, ++t->pc;
    return true;
}

void Exec::exec_shfl(const Insn& in, std::vector<Thread*>& lanes) {
    uint64_t val[32];
    for (int l = 0; l < 32; ++l)
        if (lanes[l]) val[l] = get(*lanes[l], in.ops[1], B32) & 0xFFFFFFFF;
    for (int l = 0; l < 32; ++l) {
        Thread* t = lanes[l];
        if (!t) continue;
        uint32_t b = static_cast<uint32_t>(get(*t, in.ops[2], U32)) & 0x1F;  // only b[4:0] is used
        uint32_t c = static_cast<uint32_t>(get(*t, in.ops[3], U32));
        uint32_t clamp = c & 0x1F, seg = (c >> 8) & 0x1F;
        int maxl = static_cast<int>((l & seg) | (clamp & ~seg));
        int minl = static_cast<int>(l & seg);
        int j;
        bool ok;
        switch (in.sub) {
            case 0: j = l - static_cast<int>(b); ok = j >= maxl; break;
            case 1: j = l + static_cast<int>(b); ok = j <= maxl; break;
            case 2: j = l ^ static_cast<int>(b); ok = j <= maxl; break;
            default: j = minl | static_cast<int>(b & ~seg & 0x1F); ok = j <= maxl; break;
        }
        uint64_t r = val[l];
        if (ok) {
            if (j < 0 || j > 31 || !lanes[j]) report("error", "shfl.sync reads lane " + std::to_string(j) + ", which is not a member", t->tid, &in);
            r = val[j];
        }
        const Opnd& d = in.ops[0];
        if (d.kind == K_PAIR) {
            if (d.reg >= 0) t->r[d.reg] = r, t->frag[d.reg] = 0;
            t->r[d.reg2] = ok;
        } else {
            set(*t, d, r, B32);
        }
    }
}

void Exec::exec_ldmatrix(const Insn& in, std::vector<Thread*>& lanes) {
    int count = in.sub;
    const Opnd& d = in.ops[0];
    if (d.kind != K_VEC || d.count != count) error("ldmatrix needs " + std::to_string(count) + " destination registers");
    for (int l = 0; l < 32; ++l)
        if (!lanes[l]) error("ldmatrix needs all 32 lanes");
    uint64_t rows[32];
    for (int l = 0; l < 8 * count; ++l) {
        rows[l] = addr_of(*lanes[l], in.ops[1]);
        if (rows[l] % 16) report("memcheck", "ldmatrix row address " + hex(rows[l]) + " not aligned to 16 bytes", lanes[l]->tid, &in);
    }
    for (int l = 0; l < 32; ++l) {
        Thread& t = *lanes[l];
        for (int j = 0; j < count; ++j) {
            uint16_t h[2];
            for (int k = 0; k < 2; ++k) {
                int row, col;
                if (in.flags & F_TRANS) row = 2 * (l % 4) + k, col = l >> 2;
                else row = l >> 2, col = 2 * (l % 4) + k;
                uint64_t a = rows[8 * j + row] + 2 * static_cast<uint64_t>(col);
                std::memcpy(&h[k], access(SP_SHARED, a, 2, false, t, 2), 2);
            }
            const Opnd& e = vec(d, j);
            set(t, e, static_cast<uint64_t>(h[0]) | (static_cast<uint64_t>(h[1]) << 16), B32);
        }
    }
}


void Exec::exec_mma(const Insn& in, std::vector<Thread*>& lanes) {
    for (int l = 0; l < 32; ++l)
        if (!lanes[l]) error("mma.sync needs all 32 lanes");
    const Opnd &D = in.ops[0], &A = in.ops[1], &B = in.ops[2], &C = in.ops[3];
    if (D.kind != K_VEC || D.count != 4 || A.kind != K_VEC || A.count != 4 || B.kind != K_VEC || B.count != 2 ||
        C.kind != K_VEC || C.count != 4)
        error("mma.sync m16n8k16 operand counts are 4, 4, 2, 4");
    double a[16][16], b[16][8], c[16][8];
    for (int l = 0; l < 32; ++l) {
        Thread& t = *lanes[l];
        int g = l >> 2, tt = l % 4;
        for (int i = 0; i < 8; ++i) {
            uint64_t w = get(t, vec(A, i / 2), B32);
            uint16_t h = static_cast<uint16_t>(w >> (16 * (i & 1)));
            int row = g + 8 * ((i >> 1) & 1), col = 2 * tt + (i & 1) + (i >= 4 ? 8 : 0);
            a[row][col] = half_val(h, in.ta);
        }
        for (int i = 0; i < 4; ++i) {
            uint64_t w = get(t, vec(B, i / 2), B32);
            uint16_t h = static_cast<uint16_t>(w >> (16 * (i & 1)));
            int k = 2 * tt + (i & 1) + (i >= 2 ? 8 : 0);
            b[k][g] = half_val(h, in.tb);
        }
        for (int i = 0; i < 4; ++i) {
            int row = g + (i >= 2 ? 8 : 0), col = 2 * tt + (i & 1);
            c[row][col] = as_f32(get(t, vec(C, i), F32));
        }
    }
    for (int l = 0; l < 32; ++l) {
        Thread& t = *lanes[l];
        int g = l >> 2, tt = l % 4;
        for (int i = 0; i < 4; ++i) {
            int row = g + (i >= 2 ? 8 : 0), col = 2 * tt + (i & 1);
            double s = c[row][col];
            for (int k = 0; k < 16; ++k) s += a[row][k] * b[k][col];
            set(t, vec(D, i), f32_bits(static_cast<float>(s)), F32);
        }
    }
}

void Exec::exec_wmma(const Insn& in, std::vector<Thread*>& lanes) {
    for (int l = 0; l < 32; ++l)
        if (!lanes[l]) error("wmma needs all 32 lanes");
    auto frag_pos = [](int l, int e, bool ab) { return ab ? (16 * l + e) % 256 : 8 * l + e; };
    if (in.op == O_WMMA_MMA) {
        const Opnd &D = in.ops[0], &A = in.ops[1], &B = in.ops[2], &C = in.ops[3];
        if (A.count != 8 || B.count != 8) error("wmma.mma operand counts");
        // a fragment loaded with one layout and multiplied as the other is garbage on a device
        for (int l = 0; l < 32; ++l)
            for (int i = 0; i < 8; ++i) {
                uint8_t fa = lanes[l]->frag[vec(A, i).reg], fb = lanes[l]->frag[vec(B, i).reg];
                if ((fa && fa != 1 + in.layout_a) || (fb && fb != 3 + in.layout_b))
                    report("error", "a fragment loaded with another layout or as the other matrix", lanes[l]->tid, &in);
            }
        double a[256], b[256], c[256];
        for (int l = 0; l < 32; ++l) {
            Thread& t = *lanes[l];
            for (int e = 0; e < 16; ++e) {
                int p = frag_pos(l, e, true);
                a[p] = f16_to_f32(static_cast<uint16_t>(get(t, vec(A, e / 2), B32) >> (16 * (e & 1))));
                b[p] = f16_to_f32(static_cast<uint16_t>(get(t, vec(B, e / 2), B32) >> (16 * (e & 1))));
            }
            for (int e = 0; e < 8; ++e) {
                int p = frag_pos(l, e, false);
                if (in.t2 == F32) c[p] = as_f32(get(t, vec(C, e), F32));
                else c[p] = f16_to_f32(static_cast<uint16_t>(get(t, vec(C, e / 2), B32) >> (16 * (e & 1))));
            }
        }
        for (int l = 0; l < 32; ++l) {
            Thread& t = *lanes[l];
            uint64_t packed[4] = {0, 0, 0, 0};
            for (int e = 0; e < 8; ++e) {
                int p = frag_pos(l, e, false), row = p / 16, col = p % 16;
                double s = c[p];
                for (int k = 0; k < 16; ++k) s += a[row * 16 + k] * b[k * 16 + col];
                float f = static_cast<float>(s);
                if (in.t == F32) set(t, vec(D, e), f32_bits(f), F32);
                else packed[e / 2] |= static_cast<uint64_t>(f32_to_f16(f, RN)) << (16 * (e & 1));
            }
            if (in.t == F16)
                for (int i = 0; i < 4; ++i) set(t, vec(D, i), packed[i], B32);
        }
        return;
    }
    bool load = in.op == O_WMMA_LOAD;
    const Opnd& frag = load ? in.ops[0] : in.ops[1];
    const Opnd& ao = load ? in.ops[1] : in.ops[0];
    bool ab = load && in.sub < 2;
    unsigned esize = ty_bytes(in.t);
    if (esize != 2 && esize != 4) error("unsupported wmma element type");
    int elems = ab ? 16 : 8;
    if (frag.kind != K_VEC || frag.count != (esize == 2 ? elems / 2 : elems)) error("wmma fragment register count");
    uint64_t base = addr_of(*lanes[0], ao);
    uint64_t stride = in.nops > 2 ? get(*lanes[0], in.ops[2], U32) & 0xFFFFFFFF : 16;
    for (int l = 1; l < 32; ++l) {
        if (addr_of(*lanes[l], ao) != base || (in.nops > 2 && (get(*lanes[l], in.ops[2], U32) & 0xFFFFFFFF) != stride))
            report("error", "wmma lanes give different addresses or strides", lanes[l]->tid, &in);
    }
    if (base % 32) report("memcheck", "wmma matrix address " + hex(base) + " not aligned to 32 bytes", lanes[0]->tid, &in);
    if (stride < 16 || (stride * esize) % 16)
        report("memcheck", "wmma stride " + std::to_string(stride) + " below 16 or not a multiple of 16 bytes", lanes[0]->tid, &in);
    bool colmajor = in.layout_a == 1;
    for (int l = 0; l < 32; ++l) {
        Thread& t = *lanes[l];
        uint64_t packed[8] = {};
        for (int e = 0; e < elems; ++e) {
            int p = frag_pos(l, e, ab), row = p / 16, col = p % 16;
            uint64_t off = colmajor ? static_cast<uint64_t>(col) * stride + row : static_cast<uint64_t>(row) * stride + col;
            uint64_t a = base + off * esize;
            bool owner = !ab || l < 16;  // lanes 16..31 of A/B repeat lanes 0..15
            Thread& acc = owner ? t : *lanes[l - 16];
            if (load) {
                uint64_t v = 0;
                std::memcpy(&v, access(in.space, a, esize, false, acc, esize), esize);
                if (esize == 4) set(t, vec(frag, e), v, B32);
                else packed[e / 2] |= v << (16 * (e & 1));
            } else {
                uint64_t v = esize == 4 ? get(t, vec(frag, e), B32) : get(t, vec(frag, e / 2), B32) >> (16 * (e & 1));
                std::memcpy(access(in.space, a, esize, true, t, esize), &v, esize);
            }
        }
        if (load && esize == 2)
            for (int i = 0; i < elems / 2; ++i) set(t, vec(frag, i), packed[i], B32);
        if (ab)
            for (int i = 0; i < elems / 2; ++i) t.frag[vec(frag, i).reg] = static_cast<uint8_t>(1 + 2 * in.sub + in.layout_a);
    }
}

}  // namespace

void run(const Module& module, const std::string& kernel, const Launch& launch, void* const* params, Memory& mem) {
    const Kernel* k = module.kernel(kernel);
    if (!k) throw Fault("error", "kernel " + kernel + " not in the module");
    unsigned n = launch.block[0] * launch.block[1] * launch.block[2];
    if (n == 0 || n > 1024 || launch.grid[0] == 0 || launch.grid[1] == 0 || launch.grid[2] == 0)
        throw Fault("error", "kernel " + kernel + ": bad launch geometry");
    Exec e(*k, launch, params, mem);
    e.run();
}

}  // namespace ptxi
