"""The complete grammar, row by row of its reference (docs/grammar.md): the
shape each construct gives, in the reference's notation (tests/shapes.py),
its spans, the rule for "<", recovery and deep nesting."""

from pathlib import Path

import pytest

from helpers import run_on_small_stack
from shapes import complete, declaration, expression, member, shape, statement


def unit(text):
    return shape(complete(text).root)


def type_of(text):
    return shape(complete(f"program P; type T = {text}; begin end.").root.children[0].children[0].children[-1])


UNITS = [
    ("unit A.B; interface uses C, D in 'd.pas'; implementation end.",
     "Unit[kind=unit,name=A.B](Interface(Uses(Unit[name=C] Unit[name=D,path=d.pas])) Implementation)"),
    ("unit U deprecated 'old'; interface implementation initialization X; finalization Y; end.",
     "Unit[deprecated=old,kind=unit,name=U](Interface Implementation Initialization(X) Finalization(Y))"),
    ("program P; uses A; var X: Integer; begin X := 1 end.",
     "Unit[kind=program,name=P](Uses(Unit[name=A]) Variables[kind=var](Variable(Name:X Type[name=Integer]))"
     " Statements(Assign(LHS(X) RHS(1))))"),
    ("library L; exports F, G index 2 name 'g', H(a: Integer) resident; begin end.",
     "Unit[kind=library,name=L](Exports(Element(Name[name=F]) Element(Name[name=G] Index(2) Value[kind=name]('g'))"
     " Element(Name[name=H] Parameters(Parameter(Name:a Type[name=Integer])))) Statements)"),
    ("package K; requires rtl; contains A in 'a.pas'; end.",
     "Unit[kind=package,name=K](Requires(Unit[name=rtl]) Contains(Unit[name=A,path=a.pas]))"),
    ("unit U; interface implementation begin Init end.", "Unit[kind=unit,name=U](Interface Implementation Statements(Init))"),
]

DECLARATIONS = [
    ("type P = ^Char; far; Q = ^Byte;",
     "TypeSection(TypeDecl[far=true,name=P](Type[type=pointer](Type[name=Char])) TypeDecl[name=Q](Type[type=pointer](Type[name=Byte])))"),
    ("const Max = 10; Name: string = 'x';",
     "Constants[kind=const](Constant(Name:Max Value(10)) Constant(Name:Name Type[name=string] Value('x')))"),
    ("resourcestring S = 'a' + 'b';", "Constants[kind=resourcestring](Constant(Name:S Value(Add('a' 'b'))))"),
    ("var p: Pointer absolute q;", "Variables[kind=var](Variable(Name:p Type[name=Pointer] Absolute(q)))"),
    ("threadvar a, b: Integer = 5 platform;",
     "Variables[kind=threadvar](Variable(Name:a Name:b Type[name=Integer] Value(5)))"),
    ("label 10, L;", "Label[kind=section](Name:10 Name:L)"),
    ("var [Volatile] A: Integer; B: Byte; cvar; external name 'B';",
     "Variables[kind=var](Variable(Attributes(Attribute[name=Volatile]) Name:A Type[name=Integer])"
     " Variable[external=true](Name:B Type[name=Byte] External(Name('B'))))"),
    ("type TId = Integer;", "TypeSection(TypeDecl[name=TId](Type[name=Integer]))"),
    ("type [Weak] TX<T: class> = class end;",
     "TypeSection(TypeDecl[name=TX](Attributes(Attribute[name=Weak]) TypeParams(TypeParam(Name:T Constraints(ClassConstraint)))"
     " Type[type=class]))"),
    ("type TA = Integer deprecated 'use B';", "TypeSection(TypeDecl[deprecated=use B,name=TA](Type[name=Integer]))"),
    ("const A: array[0..1] of Integer = (1, 2);",
     "Constants[kind=const](Constant(Name:A Type[type=array](Bounds(Dimension:0..1(Type[name=0..1](Subrange(0 1))))"
     " Type[name=Integer]) Value(Expressions(1 2))))"),
    ("const R: array[0..0] of TPoint = ((X: 1; Y: 2));",
     "Constants[kind=const](Constant(Name:R Type[type=array](Bounds(Dimension:0..0(Type[name=0..0](Subrange(0 0))))"
     " Type[name=TPoint]) Value(Expressions(Expressions[kind=record](Field(Name:X 1) Field(Name:Y 2))))))"),
    ("const C = (1);", "Constants[kind=const](Constant(Name:C Value(Expression(1))))"),
    ("type TR = record X: Byte; end align 16;",
     "TypeSection(TypeDecl[name=TR](Type[type=record](Field(Name:X Type[name=Byte])) AlignmentParam(16)))"),
]

TYPES = [
    ("System.TObject", "Type[name=System.TObject]"),
    ("TDictionary<string, TList<Integer>>",
     "Type[name=TDictionary<string,TList<Integer>>](TypeArgs(Type[name=string] Type[name=TList<Integer>](TypeArgs(Type[name=Integer]))))"),
    ("'a'..'z'", "Type[name='a'..'z'](Subrange('a' 'z'))"),
    ("Low(X)..High(X)",
     "Type[name=Low(X)..High(X)](Subrange(Call(Low Arguments(PositionalArgument(X))) Call(High Arguments(PositionalArgument(X)))))"),
    ("-1..1", "Type[name=-1..1](Subrange(UnaryMinus(1) 1))"),
    ("(a, b = 1)", "Type[name=enum](Enum(Name:a) Enum(Name:b Value(1)))"),
    ("set of (x, y)", "Type[type=set](Type[name=enum](Enum(Name:x) Enum(Name:y)))"),
    ("array[0..9, Boolean] of Byte",
     "Type[type=array](Bounds(Dimension:0..9(Type[name=0..9](Subrange(0 9))) Dimension:Boolean(Type[name=Boolean])) Type[name=Byte])"),
    ("array of const", "Type[type=array](Type[name=const])"),
    ("string[20]", "Type[name=string[20]]"),
    ("file of Byte", "Type[type=file](Type[name=Byte])"),
    ("^TNode", "Type[type=pointer](Type[name=TNode])"),
    ("class of TFoo", "Type[type=classref](Type[name=TFoo])"),
    ("type Integer", "Type[kind=type,name=Integer]"),
    ("specialize TList<Integer>", "Type[kind=specialize,name=TList<Integer>](TypeArgs(Type[name=Integer]))"),
    ("procedure(X: Integer) of object", "Type[kind=object,type=procedure](Parameters(Parameter(Name:X Type[name=Integer])))"),
    ("function(A: Integer): Boolean is nested",
     "Type[kind=nested,type=function](Parameters(Parameter(Name:A Type[name=Integer])) ReturnType(Type[name=Boolean]))"),
    ("procedure cdecl varargs", "Type[callingconvention=cdecl,type=procedure,varargs=true]"),
    ("procedure; stdcall", "Type[callingconvention=stdcall,type=procedure]"),
    ("reference to function(X: Integer): string",
     "Type[type=reference](Type[kind=reference,type=function](Parameters(Parameter(Name:X Type[name=Integer])) ReturnType(Type[name=string])))"),
    ("packed record A: Byte; end", "Type[type=packed](Type[type=record](Field(Name:A Type[name=Byte])))"),
    ("class(TBase, IFoo) end", "Type[type=class](Type[name=TBase] Type[name=IFoo])"),
    ("class sealed(TBase) end", "Type[sealed=true,type=class](Type[name=TBase])"),
    ("class abstract end", "Type[abstract=true,type=class]"),
    ("class", "Type[forwarded=true,type=class]"),
    ("class sealed external 'android' name 'Manifest' (JLObject) end",
     "Type[external=true,sealed=true,type=class](External('android' Name('Manifest')) Type[name=JLObject])"),
    ("interface external 'java.lang' name 'Runnable' procedure run; end",
     "Type[external=true,type=interface](External('java.lang' Name('Runnable')) Method[kind=procedure,name=run])"),
    ("class external 'java.lang' name 'Object'",
     "Type[external=true,forwarded=true,type=class](External('java.lang' Name('Object')))"),
    ("objcclass(NSObject) external name 'NSView'",
     "Type[external=true,type=objcclass](Type[name=NSObject] External(Name('NSView')))"),
    ("class(TObject)", "Type[type=class](Type[name=TObject])"),
    ("interface(IBase) ['{0}'] procedure P; end",
     "Type[type=interface](Type[name=IBase] Guid[name={0}] Method[kind=procedure,name=P])"),
    ("dispinterface ['{1}'] end", "Type[type=dispinterface](Guid[name={1}])"),
    ("interface [IID_I] [A] procedure P; end",
     "Type[type=interface](Guid[name=IID_I] Method[kind=procedure,name=P](Attributes(Attribute[name=A])))"),
    ("object X: Integer; procedure P; end", "Type[type=object](Field(Name:X Type[name=Integer]) Method[kind=procedure,name=P])"),
    ("record case Tag: Byte of 0: (A: Integer); 1, 2: (B: Byte; case C: Boolean of True: (D: Byte)); end",
     "Type[type=record](Case(CaseSelector(Name:Tag Type[name=Byte]) CaseLabels(CaseLabel(0) Fields(Field(Name:A Type[name=Integer])))"
     " CaseLabels(CaseLabel(1) CaseLabel(2) Fields(Field(Name:B Type[name=Byte]) Case(CaseSelector(Name:C Type[name=Boolean])"
     " CaseLabels(CaseLabel(True) Fields(Field(Name:D Type[name=Byte]))))))))"),
    ("class helper (TBaseHelper) for TFoo end", "Type[kind=class,type=helper](Helper(Type[name=TBaseHelper] Type[name=TFoo]))"),
    ("record helper for TPoint function Len: Double; end",
     "Type[kind=record,type=helper](Helper(Type[name=TPoint]) Method[kind=function,name=Len](ReturnType(Type[name=Double])))"),
    ("type helper for Integer end", "Type[kind=type,type=helper](Helper(Type[name=Integer]))"),
]

ROUTINES = [
    ("class function TFoo.Create<T>(const A, B: T; var C; out D: Integer = 0): T; static; begin end;",
     "Method[class=true,kind=function,name=TFoo.Create,static=true](TypeParams(TypeParam(Name:T))"
     " Parameters(Parameter[kind=const](Name:A Name:B Type[name=T]) Parameter[kind=var](Name:C)"
     " Parameter[kind=out](Name:D Type[name=Integer] Value(0))) ReturnType(Type[name=T]) Statements)"),
    ("function TList<T>.Add(const Item: T): Integer; begin end;",
     "Method[kind=function,name=TList.Add](Parameters(Parameter[kind=const](Name:Item Type[name=T])) ReturnType(Type[name=Integer]) Statements)"),
    ("procedure P; overload; stdcall; inline; begin end;",
     "Method[callingconvention=stdcall,inline=true,kind=procedure,name=P,overload=true](Statements)"),
    ("function F: Integer; external 'lib.dll' name 'G' index 3 delayed;",
     "Method[external=true,kind=function,name=F](ReturnType(Type[name=Integer]) External[kind=delayed]('lib.dll' Name('G') Index(3)))"),
    ("procedure P; forward;", "Method[forwarded=true,kind=procedure,name=P]"),
    ("procedure P([ref] const A: TRec; const [ref] B: TRec); begin end;",
     "Method[kind=procedure,name=P](Parameters(Parameter[kind=const](Attributes(Attribute[name=ref]) Name:A Type[name=TRec])"
     " Parameter[kind=const](Attributes(Attribute[name=ref]) Name:B Type[name=TRec])) Statements)"),
    ("operator + (a, b: TVec) r: TVec; begin end;",
     "Method[kind=operator,name=+](Parameters(Parameter(Name:a Name:b Type[name=TVec])) ReturnType(Name:r Type[name=TVec]) Statements)"),
    ("procedure P; public name 'FPC_P'; begin end;", "Method[kind=procedure,name=P,visibility=public](Name('FPC_P') Statements)"),
    ("procedure P; [public, alias: 'FOO']; begin end;",
     "Method[kind=procedure,name=P,visibility=public](Name[kind=alias]('FOO') Statements)"),
    ("procedure P; deprecated 'gone'; far; near; export; noreturn; begin end;",
     "Method[deprecated=gone,export=true,far=true,kind=procedure,name=P,near=true,noreturn=true](Statements)"),
    ("procedure Outer; var X: Integer; procedure Inner; begin end; begin Inner end;",
     "Method[kind=procedure,name=Outer](Variables[kind=var](Variable(Name:X Type[name=Integer])) Method[kind=procedure,name=Inner](Statements)"
     " Statements(Inner))"),
    ("procedure P; assembler; asm jz @@end; @@end: end;", "Method[assembler=true,kind=procedure,name=P](Statements[kind=asm])"),
    ("class function &&op_Equality(const A, B: T): Boolean; begin end;",
     "Method[class=true,kind=function,name=&&op_Equality](Parameters(Parameter[kind=const](Name:A Name:B Type[name=T]))"
     " ReturnType(Type[name=Boolean]) Statements)"),
]

MEMBERS = [
    ("procedure WMPaint(var M: TMessage); message WM_PAINT; function Get: Integer; virtual; abstract;",
     "Type[type=class](Method[kind=procedure,name=WMPaint](Parameters(Parameter[kind=var](Name:M Type[name=TMessage])) Message(WM_PAINT))"
     " Method[abstract=true,kind=function,methodbinding=virtual,name=Get](ReturnType(Type[name=Integer])))"),
    ("procedure IFoo.Bar = MyBar;", "Type[type=class](Method[kind=procedure,name=IFoo.Bar](ResolutionClause[name=MyBar]))"),
    ("property Items[I: Integer]: string read GetItem write SetItem; default;",
     "Type[type=class](Property[name=Items](Parameters(Parameter(Name:I Type[name=Integer])) Type[name=string] Read(GetItem)"
     " Write(SetItem) Default))"),
    ("final class var fin: TIn; external name 'in'; procedure X;",
     "Type[type=class](Fields[class=true,final=true,kind=var](Field[class=true,external=true](Name:fin Type[name=TIn]"
     " External(Name('in')))) Method[kind=procedure,name=X])"),
    ("property X: Integer index 3 read GetX stored False default 0; property Y: Integer read FY nodefault;",
     "Type[type=class](Property[name=X](Type[name=Integer] Index(3) Read(GetX) Stored(False) Default(0))"
     " Property[name=Y](Type[name=Integer] Read(FY) Default[kind=nodefault]))"),
    ("property OnClick: TNotifyEvent add AddClick remove RemoveClick; property P: Integer readonly dispid 5;",
     "Type[type=class](Property[name=OnClick](Type[name=TNotifyEvent] Unknown[kind=add](AddClick) Unknown[kind=remove](RemoveClick))"
     " Property[name=P](Type[name=Integer] Unknown[kind=readonly] Dispid(5)))"),
    ("property Intf: IFoo read FIntf implements IFoo, IBar; class property C: Integer read FC deprecated 'x';",
     "Type[type=class](Property[name=Intf](Type[name=IFoo] Read(FIntf) Implements(Type[name=IFoo] Type[name=IBar]))"
     " Property[class=true,deprecated=x,name=C](Type[name=Integer] Read(FC)))"),
    ("property S: Boolean read F; deprecated 'x';",
     "Type[type=class](Property[deprecated=x,name=S](Type[name=Boolean] Read(F)))"),
    ("property Cells[Row, Col: Integer]: string read GetCell;",
     "Type[type=class](Property[name=Cells](Parameters(Parameter(Name:Row Name:Col Type[name=Integer])) Type[name=string] Read(GetCell)))"),
    ("[Test] [TestCase('a', '1')] procedure T1;",
     "Type[type=class](Method[kind=procedure,name=T1](Attributes(Attribute[name=Test]"
     " Attribute[name=TestCase](Arguments(PositionalArgument('a') PositionalArgument('1'))))))"),
    ("strict private FA: Integer; strict protected FB: Integer; published property A: Integer read FA;",
     "Type[type=class](StrictPrivate(Field(Name:FA Type[name=Integer])) StrictProtected(Field(Name:FB Type[name=Integer]))"
     " Published(Property[name=A](Type[name=Integer] Read(FA))))"),
    ("class var Count: Integer; var X: Integer; procedure P;",
     "Type[type=class](Fields[class=true,kind=var](Field[class=true](Name:Count Type[name=Integer]))"
     " Fields[kind=var](Field(Name:X Type[name=Integer])) Method[kind=procedure,name=P])"),
    ("const C = 1; type TN = Integer; var F: TN;",
     "Type[type=class](Constants[kind=const](Constant(Name:C Value(1))) TypeSection(TypeDecl[name=TN](Type[name=Integer]))"
     " Fields[kind=var](Field(Name:F Type[name=TN])))"),
    ("automated procedure P; class constructor Create; class operator Add(A, B: T): T;",
     "Type[type=class](Public[kind=automated](Method[kind=procedure,name=P] Method[class=true,kind=constructor,name=Create]"
     " Method[class=true,kind=operator,name=Add](Parameters(Parameter(Name:A Name:B Type[name=T])) ReturnType(Type[name=T]))))"),
    ("[Weak] FOwner: TObject; FProc: procedure(X: Integer) of object; stdcall; &Type: Integer; &End: Byte;",
     "Type[type=class](Field(Attributes(Attribute[name=Weak]) Name:FOwner Type[name=TObject])"
     " Field(Name:FProc Type[callingconvention=stdcall,kind=object,type=procedure](Parameters(Parameter(Name:X Type[name=Integer]))))"
     " Field(Name:&Type Type[name=Integer]) Field(Name:&End Type[name=Byte]))"),
]

GENERICS = [
    ("type TX<T; U: class, constructor> = class end;",
     "TypeSection(TypeDecl[name=TX](TypeParams(TypeParam(Name:T) TypeParam(Name:U Constraints(ClassConstraint ConstructorConstraint)))"
     " Type[type=class]))"),
    ("type TY<K, V: record> = record end;",
     "TypeSection(TypeDecl[name=TY](TypeParams(TypeParam(Name:K Name:V Constraints(RecordConstraint))) Type[type=record]))"),
    ("type TZ<T: IComparable<T>, unmanaged> = record end;",
     "TypeSection(TypeDecl[name=TZ](TypeParams(TypeParam(Name:T Constraints(Type[name=IComparable<T>](TypeArgs(Type[name=T]))"
     " UnmanagedConstraint))) Type[type=record]))"),
    ("type TA<T>=class end;", "TypeSection(TypeDecl[name=TA](TypeParams(TypeParam(Name:T)) Type[type=class]))"),
]

STATEMENTS = [
    ("begin a; b end", "Statements(a b)"),
    ("x += 2", "Assign[kind=+=](LHS(x) RHS(2))"),
    ("Foo(1)", "Call(Foo Arguments(PositionalArgument(1)))"),
    ("inherited", "Inherited"),
    ("inherited Create(X)", "Inherited(Call(Create Arguments(PositionalArgument(X))))"),
    ("if a then b else c", "If(a Then(b) Else(c))"),
    ("if a then else c", "If(a Then Else(c))"),
    ("case x of 1, 2: a; 3..4: b; else c; d end",
     "Case(CaseSelector(x) CaseLabels(CaseLabel(1) CaseLabel(2) a) CaseLabels(CaseLabel(Subrange(3 4)) b) CaseElse(c d))"),
    ("case x of 1: ; otherwise c end", "Case(CaseSelector(x) CaseLabels(CaseLabel(1)) CaseElse(c))"),
    ("while a do b", "While(a b)"),
    ("repeat a; b until c", "Repeat(a b c)"),
    ("for i := 10 downto 1 do x", "For[kind=downto](i From(10) DownTo(1) x)"),
    ("for var I: Integer := 0 to N do x", "For[kind=to](Variable(Name:I Type[name=Integer]) From(0) To(N) x)"),
    ("for var s in list do y", "For[kind=in](Variable(Name:s) In(list) y)"),
    ("with a, b do c", "With(a b c)"),
    ("try a; b finally c end", "Try(a b Finally(c))"),
    ("try a except on E: EFoo do b; on EBar do c; else d end",
     "Try(a Except(ExceptionHandler(Name:E Type[name=EFoo] b) ExceptionHandler(Type[name=EBar] c) Else(d)))"),
    ("try a except b; c end", "Try(a Except(b c))"),
    ("raise E.Create('x') at ReturnAddress",
     "Raise(Call(Dot(E Create) Arguments(PositionalArgument('x'))) At(ReturnAddress))"),
    ("goto 10", "Goto(10)"),
    ("raise E at A, B", "Raise(E At(A B))"),
    ("var [unsafe] X: TObject := nil", "Variables[kind=var](Variable(Attributes(Attribute[name=unsafe]) Name:X Type[name=TObject] Value(nil)))"),
    ("L: x := 1", "Label[name=L](Assign(LHS(x) RHS(1)))"),
    ("var x: Integer := 5", "Variables[kind=var](Variable(Name:x Type[name=Integer] Value(5)))"),
    ("var x := 5", "Variables[kind=var](Variable(Name:x Value(5)))"),
    ("const C: Integer = 5", "Constants[kind=const](Constant(Name:C Type[name=Integer] Value(5)))"),
    ("asm mov eax, 1 end", "Statements[kind=asm]"),
]

EXPRESSIONS = [(f"a {op} b", f"{kind}(a b)") for op, kind in [
    ("=", "Equal"), ("<>", "NotEqual"), ("<", "Lower"), (">", "Greater"), ("<=", "LowerEqual"), (">=", "GreaterEqual"),
    ("in", "In"), ("is", "Is"), ("is not", "IsNot"), ("not in", "NotIn"), ("+", "Add"), ("-", "Sub"), ("or", "Or"),
    ("xor", "Xor"), ("*", "Mul"), ("/", "FDiv"), ("div", "Div"), ("mod", "Mod"), ("and", "And"), ("shl", "Shl"),
    ("shr", "Shr"), ("as", "As")]] + [
    # Precedence and associativity.
    ("-x * 2 + 1", "Add(Mul(UnaryMinus(x) 2) 1)"),
    ("(a > 0) and (b = 1)", "And(Expression(Greater(a 0)) Expression(Equal(b 1)))"),
    ("a - b - c", "Sub(Sub(a b) c)"),
    ("a = b = c", "Equal(Equal(a b) c)"),
    ("a or b and c", "Or(a And(b c))"),
    ("a + b = c * d", "Equal(Add(a b) Mul(c d))"),
    ("not a in b", "In(Not(a) b)"),
    ("not not a", "Not(Not(a))"),
    ("+a", "a"),
    ("-a.b", "UnaryMinus(Dot(a b))"),
    ("@a.b[1]", "Addr(Indexed(Dot(a b) Expressions(1)))"),
    # Operands.
    ("1.5e3", "1.5e3"),
    ("'it''s'", "'it's'"),
    ("#13", "#13"),
    ("#65#66'C'", "'ABC'"),
    ("^A^B'C'", "'\x01\x02C'"),
    ("F()", "Call(F Arguments)"),
    ("F(X := 1)", "Call(F Arguments(NamedArgument(Name:X 1)))"),
    ("Str(X:10:2)", "Call(Str Arguments(PositionalArgument(X 10 2)))"),
    ("A[1, 2]", "Indexed(A Expressions(1 2))"),
    ("P^.Next^", "Deref(Dot(Deref(P) Next))"),
    ("[]", "Set"),
    ("[a, b..c]", "Set(a Subrange(b c))"),
    ("inherited Items[1]", "Inherited(Indexed(Items Expressions(1)))"),
    ("function(X: T): Boolean var Y: T; begin Result := X = Y end",
     "AnonymousMethod[kind=function](Parameters(Parameter(Name:X Type[name=T])) ReturnType(Type[name=Boolean])"
     " Variables[kind=var](Variable(Name:Y Type[name=T])) Statements(Assign(LHS(Result) RHS(Equal(X Y)))))"),
    ("procedure begin end", "AnonymousMethod[kind=procedure](Statements)"),
    # Type arguments, and the "<" that compares.
    ("TList<Integer>.Create", "Dot(Identifier[name=TList](TypeArgs(Type[name=Integer])) Create)"),
    ("TFoo<T>(X)", "Call(Identifier[name=TFoo](TypeArgs(Type[name=T])) Arguments(PositionalArgument(X)))"),
    ("specialize TList<Integer>.Create", "Dot(Identifier[name=TList](TypeArgs(Type[name=Integer])) Create)"),
    ("F(a < b, c > d)", "Call(F Arguments(PositionalArgument(Lower(a b)) PositionalArgument(Greater(c d))))"),
    ("a < b > c", "Greater(Lower(a b) c)"),
    ("X is TList<Integer>", "Is(X Identifier[name=TList](TypeArgs(Type[name=Integer])))"),
]


@pytest.mark.parametrize("text, expected", UNITS)
def test_units(text, expected):
    assert unit(text) == expected


# Include files read on their own: the part of the includer each one holds.
HEADLESS = [
    ("TA = class end; TB = ^TA; Max = 10;",
     "Unit(TypeSection(TypeDecl[name=TA](Type[type=class]) TypeDecl[name=TB](Type[type=pointer](Type[name=TA])))"
     " Constants(Constant(Name:Max Value(10))))"),
    ("TAlias = TOther; TList<T> = class end;",
     "Unit(TypeSection(TypeDecl[name=TAlias](Type[name=TOther]) TypeDecl[name=TList](TypeParams(TypeParam(Name:T))"
     " Type[type=class])))"),
    ("NR_NO = tregister($0);",
     "Unit(Constants(Constant(Name:NR_NO Value(Call(tregister Arguments(PositionalArgument($0)))))))"),
    ("((Op: 1; N: 0), (Op: 2; N: 1))",
     "Unit(Value(Expressions(Expressions[kind=record](Field(Name:Op 1) Field(Name:N 0))"
     " Expressions[kind=record](Field(Name:Op 2) Field(Name:N 1)))))"),
    ("R(0), R(1),", "Unit(Value(Call(R Arguments(PositionalArgument(0))) Call(R Arguments(PositionalArgument(1)))))"),
    ("'a', 'b'", "Unit(Value('a' 'b'))"),
    ("sl.Add('a'); Done;", "Unit(Statements(Call(Dot(sl Add) Arguments(PositionalArgument('a'))) Done))"),
    ("if A then B; procedure P; begin end;",
     "Unit(Statements(If(A Then(B))) Method[kind=procedure,name=P](Statements))"),
    ("a, b: Integer; c: Byte;",
     "Unit(Variables(Variable(Name:a Name:b Type[name=Integer]) Variable(Name:c Type[name=Byte])))"),
]


@pytest.mark.parametrize("text, expected", HEADLESS)
def test_text_without_header(text, expected):
    tree = complete(text)
    assert (shape(tree.root), tree.diagnostics) == (expected, [])


def test_a_unit_reads_no_headless_parts():
    tree = complete("unit U; X = 1; interface implementation end.")
    assert shape(tree.root) == "Unit[kind=unit,name=U](Interface Implementation)"
    assert sum(d.tokens for d in tree.diagnostics) == 4


@pytest.mark.parametrize("text, expected", DECLARATIONS + ROUTINES + GENERICS)
def test_declarations(text, expected):
    assert declaration(text) == expected


@pytest.mark.parametrize("text, expected", TYPES)
def test_types(text, expected):
    assert type_of(text) == expected


@pytest.mark.parametrize("text, expected", MEMBERS)
def test_members(text, expected):
    assert member(text) == expected


@pytest.mark.parametrize("text, expected", STATEMENTS)
def test_statements(text, expected):
    assert statement(text) == expected


@pytest.mark.parametrize("text, expected", EXPRESSIONS)
def test_expressions(text, expected):
    assert expression(text) == expected


def node(tree, kind, **attributes):
    return tree.find(kind, **attributes)


# (text, kind and attributes of a node, its (line, col, end_line, end_col))
SPANS = [
    ("program P;\nprocedure A;\nbegin\n  X := 1;\nend;\nbegin end.", ("Method", {"name": "A"}), (2, 1, 5, 5)),
    ("program P;\n[Test]\nclass procedure T.A; begin end;\nbegin end.", ("Method", {"name": "T.A"}), (2, 1, 3, 32)),
    ("unit U; interface uses System.SysUtils in 'x.pas'; implementation end.", ("Unit", {"name": "System.SysUtils"}), (1, 24, 1, 50)),
    ("program P; begin X := a + b * c end.", ("Add", {}), (1, 23, 1, 32)),
    ("program P; begin X := (a) end.", ("Expression", {}), (1, 23, 1, 26)),
    ("program P; type T = class\n  F: Integer;\nend;\nbegin end.", ("TypeDecl", {}), (1, 17, 3, 5)),
    ("program P; begin if a then\n  b\nelse\n  c end.", ("If", {}), (1, 18, 4, 4)),
]


@pytest.mark.parametrize("text, target, span", SPANS)
def test_spans(text, target, span):
    kind, attributes = target
    found = complete(text).find(kind, **attributes)
    assert (found.line, found.col, found.end_line, found.end_col) == span


def check_spans(tree):
    """Every node's children lie inside it, in order, without overlap."""
    for parent in tree:
        start, end = (parent.line, parent.col), (parent.end_line, parent.end_col)
        assert start <= end, parent
        previous = start
        for child in parent.children:
            assert previous <= (child.line, child.col), (parent, child)
            assert (child.end_line, child.end_col) <= end, (parent, child)
            previous = (child.end_line, child.end_col)


def test_spans_nest_in_the_project_units():
    for path in sorted((Path(__file__).parent / "data").glob("*.pas")):
        tree = complete(path.read_text(encoding="utf-8"))
        check_spans(tree)
        assert tree.skipped == [], path.name


# Damage costs the construct it is in: each text keeps the routines named.
RECOVERY = [
    # A "<" that compares opens nothing.
    ("procedure P; begin Result := a < 0; end; procedure Q; begin end;", ["P", "Q"]),
    # A block left open ends at the next routine.
    ("procedure P; begin X := 1; procedure Q; begin end;", ["P", "Q"]),
    # A statement that cannot be read costs that statement.
    ("procedure P; begin X := 1 2 3; Y := 2 end; procedure Q; begin end;", ["P", "Q"]),
    ("procedure P; begin ) ) end; procedure Q; begin end;", ["P", "Q"]),
    # A declaration that cannot be read costs that declaration.
    ("procedure P; var X: ; Y: Integer; begin end; procedure Q; begin end;", ["P", "Q"]),
    ("type T = class procedure A; ) ; procedure B; end; procedure T.A; begin end;", ["A", "B", "T.A"]),
]


@pytest.mark.parametrize("text, routines", RECOVERY)
def test_recovery(text, routines):
    tree = complete(f"program X; {text} begin end.")
    assert [m["name"] for m in tree.find_all("Method")] == routines
    check_spans(tree)


def test_broken_statement_is_noted():
    tree = complete("program X; begin X := 1 2 3; Y := 2 end.")
    assert [t.value for t in tree.skipped] == ["2", "3"]
    assert statement("X := 1 2 3; Y := 2") == "Assign(LHS(X) RHS(1))"


# Deep, yet within the depth whose tree text fits the output limit.
DEEP = 20_000

NESTS = [
    (lambda n: "X := " + "(" * n + "1" + ")" * n, "Expression"),
    (lambda n: "X := " + "-" * n + "1", "UnaryMinus"),
    (lambda n: "if a then " * n + "x", "If"),
    (lambda n: "begin " * n + "end " * n, "Statements"),
    (lambda n: "X := " + "F(" * n + ")" * n, "Call"),
]


@pytest.mark.parametrize("make, kind", NESTS)
def test_deep_nesting_is_read_whole_on_a_small_stack(make, kind):
    text = f"program P; begin {make(DEEP)} end."
    tree = run_on_small_stack(lambda: complete(text))
    assert sum(1 for n in tree if n.kind == "nt" + kind) >= DEEP
    assert tree.skipped == []


@pytest.mark.parametrize("make, kind", NESTS)
def test_nesting_past_the_output_limit_is_refused(make, kind):
    with pytest.raises(MemoryError):
        complete(f"program P; begin {make(200_000)} end.")


def test_unary_plus_nests_without_a_level():
    tree = complete("program P; begin X := " + "+" * 1_000_000 + "1 end.")
    assert statement("X := + + 1") == "Assign(LHS(X) RHS(1))"
    assert tree.find("Literal").value == "1"
